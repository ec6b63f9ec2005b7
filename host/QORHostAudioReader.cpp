#include "QORHostAudioReader.h"

#include <sndfile.h>

#include <algorithm>
#include <cstring>

namespace {
// About 256 KiB of samples per read from the file.
constexpr size_t kAheadSamples = 65536;
}  // namespace

QORHostAudioReader::~QORHostAudioReader() {
  if (file_ != nullptr) sf_close(file_);
}

bool QORHostAudioReader::Open(const std::string& path, std::string* error) {
  SF_INFO info{};
  file_ = sf_open(path.c_str(), SFM_READ, &info);
  if (file_ == nullptr) {
    *error = "cannot read '" + path + "' as audio (" + sf_strerror(nullptr) +
             "); give a WAV, FLAC, Ogg or other file that libsndfile reads";
    return false;
  }
  if (info.channels < 1 || info.samplerate < 1) {
    *error = "'" + path + "' holds no audio channels; give a file with at least one channel";
    return false;
  }
  channels_ = info.channels;
  rate_ = info.samplerate;
  frames_ = info.frames;
  format_ = info.format;
  ahead_.assign(std::max<size_t>(1, kAheadSamples / static_cast<size_t>(channels_)) * channels_,
                0.0f);
  aheadStart_ = 0;
  aheadEnd_ = 0;
  ended_ = false;
  return true;
}

int64_t QORHostAudioReader::Read(float* interleaved, int64_t frames) {
  if (file_ == nullptr || frames <= 0) return 0;
  const auto channels = static_cast<size_t>(channels_);
  const size_t capacity = ahead_.size() / channels;
  int64_t done = 0;
  while (done < frames) {
    if (aheadStart_ == aheadEnd_) {
      if (ended_) break;
      const sf_count_t read =
          sf_readf_float(file_, ahead_.data(), static_cast<sf_count_t>(capacity));
      aheadStart_ = 0;
      aheadEnd_ = read > 0 ? static_cast<size_t>(read) : 0;
      // A short read is the end; asking again could block on a pipe or repeat an error.
      if (aheadEnd_ < capacity) ended_ = true;
      if (aheadEnd_ == 0) break;
    }
    const size_t take =
        std::min<size_t>(aheadEnd_ - aheadStart_, static_cast<size_t>(frames - done));
    std::memcpy(interleaved + static_cast<size_t>(done) * channels,
                ahead_.data() + aheadStart_ * channels, take * channels * sizeof(float));
    aheadStart_ += take;
    done += static_cast<int64_t>(take);
  }
  return done;
}

bool QORHostAudioReader::Rewind() {
  if (file_ == nullptr || sf_seek(file_, 0, SEEK_SET) != 0) return false;
  // What was read ahead belongs to the pass that ended.
  aheadStart_ = aheadEnd_ = 0;
  ended_ = false;
  return true;
}
