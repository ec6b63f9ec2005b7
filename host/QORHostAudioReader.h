#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>

#include "platform/QORInputFile.h"

struct sf_private_tag;

// An audio file read as interleaved 32-bit float, whatever format libsndfile reads. The file is
// read ahead in large pieces, so a caller that takes one short period at a time does not cost a
// system call per period. A pipe or FIFO may block; Interrupt ends the wait.
class QORHostAudioReader {
 public:
  QORHostAudioReader() = default;
  QORHostAudioReader(const QORHostAudioReader&) = delete;
  QORHostAudioReader& operator=(const QORHostAudioReader&) = delete;
  ~QORHostAudioReader();

  // False with a message saying what to do when the file cannot be read as audio, or when
  // Interrupt came first. "-" reads standard input.
  bool Open(const std::string& path, std::string* error);
  // Reads up to frames frames; returns the frames read, fewer only at the end (0 past it).
  int64_t Read(float* interleaved, int64_t frames);
  // Whether path names the open input's file, by its identity (links followed).
  bool IsFile(const std::string& path) const { return input_.IsFile(std::filesystem::path(path)); }
  // Back to the first frame, for playing the file again; false when the file cannot seek.
  bool Rewind();
  // Lets go of the input; what was learnt of it stays (a file still open cannot be replaced on
  // Windows).
  void Close();

  // For a signal handler (async-signal-safe) or another thread: a blocked open or read, and every
  // one to come, ends as at the end of the input.
  static void Interrupt();
  static bool Interrupted();

  int Channels() const { return channels_; }
  int Rate() const { return rate_; }
  // What libsndfile found; for a pipe, the header's promise (huge when the header has none).
  int64_t Frames() const { return frames_; }
  // The frames the file's header promises; -1 when it names none.
  int64_t Promised() const { return promised_; }
  // Whether a pass through the file ended before the header's promise (not by Interrupt), and
  // how many frames that pass held.
  bool Truncated() const { return truncated_; }
  int64_t Held() const { return held_; }
  // libsndfile's format code (major and sub type).
  int Format() const { return format_; }

 private:
  sf_private_tag* file_ = nullptr;
  QORInputFile input_;
  int channels_ = 0;
  int rate_ = 0;
  int64_t frames_ = 0;
  int64_t promised_ = -1;
  int64_t passFrames_ = 0;  // taken since the start of this pass
  bool truncated_ = false;
  int64_t held_ = 0;
  int format_ = 0;
  // Frames read from the file and not yet taken; left unwritten until read into, so that a short
  // file touches only the pages it fills.
  std::unique_ptr<float[]> ahead_;
  size_t aheadCapacity_ = 0;  // in frames
  size_t aheadStart_ = 0;     // in frames
  size_t aheadEnd_ = 0;
  bool ended_ = false;
};
