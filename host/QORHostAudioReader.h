#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct sf_private_tag;

// An audio file read as interleaved 32-bit float, whatever format libsndfile reads. The file is
// read ahead in large pieces, so a caller that takes one short period at a time does not cost a
// system call per period.
class QORHostAudioReader {
 public:
  QORHostAudioReader() = default;
  QORHostAudioReader(const QORHostAudioReader&) = delete;
  QORHostAudioReader& operator=(const QORHostAudioReader&) = delete;
  ~QORHostAudioReader();

  // False with a message saying what to do when the file cannot be read as audio.
  bool Open(const std::string& path, std::string* error);
  // Reads up to frames frames; returns the frames read, fewer only at the end (0 past it).
  int64_t Read(float* interleaved, int64_t frames);
  // Back to the first frame, for playing the file again; false when the file cannot seek.
  bool Rewind();

  int Channels() const { return channels_; }
  int Rate() const { return rate_; }
  int64_t Frames() const { return frames_; }
  // libsndfile's format code (major and sub type).
  int Format() const { return format_; }

 private:
  sf_private_tag* file_ = nullptr;
  int channels_ = 0;
  int rate_ = 0;
  int64_t frames_ = 0;
  int format_ = 0;
  std::vector<float> ahead_;  // frames read from the file and not yet taken
  size_t aheadStart_ = 0;     // in frames
  size_t aheadEnd_ = 0;
  bool ended_ = false;
};
