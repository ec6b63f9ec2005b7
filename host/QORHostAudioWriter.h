#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "platform/QORTemporaryFile.h"

struct sf_private_tag;

// An audio file written in the format its extension names. The samples go to a temporary file
// beside the target, which takes the target's name only on Commit; anything else (an error, an
// interruption, destruction) removes it, so a failed run never leaves a partial output. One left by
// a run killed outright is removed by the next run to the same target. Samples are
// gathered into large pieces before they go to the file, so short periods do not cost a system call
// each; a write error shows on the Write that sends a piece, at the latest on Commit.
class QORHostAudioWriter {
 public:
  QORHostAudioWriter() = default;
  QORHostAudioWriter(const QORHostAudioWriter&) = delete;
  QORHostAudioWriter& operator=(const QORHostAudioWriter&) = delete;
  ~QORHostAudioWriter();

  // sourceFormat (a libsndfile format code, 0 for none) keeps the input's sample encoding when the
  // output container can hold it; otherwise the container's usual one (float for WAV, 24-bit for
  // FLAC, Vorbis for Ogg).
  bool Open(const std::string& path, int channels, int rate, int sourceFormat, std::string* error);
  bool Write(const float* interleaved, int64_t frames, std::string* error);
  bool Commit(std::string* error);
  // Removes the temporary file; the target is untouched.
  void Abort();

  // The libsndfile format chosen for path's extension, or 0 when none fits.
  static int FormatFor(const std::string& path, int channels, int rate, int sourceFormat);

 private:
  sf_private_tag* file_ = nullptr;
  std::string path_;
  QORTemporaryFile temporary_;
  int channels_ = 0;
  // Whole frames not yet sent to the file; left unwritten until filled, so that a short run
  // touches only the pages it fills.
  std::unique_ptr<float[]> pending_;
  size_t pendingCapacity_ = 0;  // in frames
  size_t pendingFrames_ = 0;

  bool Flush(std::string* error);
  bool Send(const float* interleaved, int64_t frames, std::string* error);
};
