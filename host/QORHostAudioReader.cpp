#include "QORHostAudioReader.h"

#include <sndfile.h>

#include <algorithm>
#include <cstring>

namespace {

// About 256 KiB of samples per read from the file.
constexpr size_t kAheadSamples = 65536;

uint32_t Little(const unsigned char* bytes, int count) {
  uint32_t value = 0;
  for (int i = count - 1; i >= 0; --i) value = (value << 8) | bytes[i];
  return value;
}

uint32_t Big(const unsigned char* bytes, int count) {
  uint32_t value = 0;
  for (int i = 0; i < count; ++i) value = (value << 8) | bytes[i];
  return value;
}

// The frames a WAV or AIFF header promises, which libsndfile trims to what the file holds
// without a word; -1 when the file is neither, or its header names no length.
int64_t HeaderFrames(const QORInputFile& input) {
  unsigned char head[12];
  if (input.ReadAt(head, sizeof(head), 0) != static_cast<int64_t>(sizeof(head))) return -1;
  const bool wave = std::memcmp(head, "RIFF", 4) == 0 && std::memcmp(head + 8, "WAVE", 4) == 0;
  const bool aiff = std::memcmp(head, "FORM", 4) == 0 && (std::memcmp(head + 8, "AIFF", 4) == 0 ||
                                                          std::memcmp(head + 8, "AIFC", 4) == 0);
  if (!wave && !aiff) return -1;
  uint32_t formatTag = 0;
  uint32_t blockAlign = 0;
  int64_t offset = 12;
  for (int chunk = 0; chunk < 64; ++chunk) {
    unsigned char header[26];
    const int64_t got = input.ReadAt(header, sizeof(header), offset);
    if (got < 8) return -1;
    const uint32_t size = wave ? Little(header + 4, 4) : Big(header + 4, 4);
    if (aiff && std::memcmp(header, "COMM", 4) == 0 && got >= 14) return Big(header + 10, 4);
    if (wave && std::memcmp(header, "fmt ", 4) == 0 && got >= 22) {
      formatTag = Little(header + 8, 2);
      blockAlign = Little(header + 20, 2);
    }
    if (wave && std::memcmp(header, "data", 4) == 0) {
      // Integer and float samples only; a writer that could not seek leaves 0 or all ones.
      const bool plain = formatTag == 1 || formatTag == 3 || formatTag == 0xFFFE;
      if (!plain || blockAlign == 0 || size == 0 || size == 0xFFFFFFFFu) return -1;
      return size / blockAlign;
    }
    offset += 8 + static_cast<int64_t>(size) + (size & 1);
  }
  return -1;
}

}  // namespace

QORHostAudioReader::~QORHostAudioReader() {
  Close();
}

void QORHostAudioReader::Close() {
  if (file_ != nullptr) sf_close(file_);
  file_ = nullptr;
  input_.Close();
}

void QORHostAudioReader::Interrupt() {
  QORInputFile::Interrupt();
}

bool QORHostAudioReader::Interrupted() {
  return QORInputFile::Interrupted();
}

bool QORHostAudioReader::Open(const std::string& path, std::string* error) {
  Close();
  std::string reason;
  const bool opened = path == "-" ? input_.OpenStandardInput(&reason)
                                  : input_.Open(std::filesystem::path(path), &reason);
  if (!opened) {
    *error = Interrupted() ? "interrupted"
                           : "cannot read '" + path + "' as audio (" + reason +
                                 "); give a WAV, FLAC, Ogg or other file that libsndfile reads";
    return false;
  }
  promised_ = input_.IsRegular() ? HeaderFrames(input_) : -1;
  SF_INFO info{};
  // The descriptor stays the input's to close, after an interrupt can no longer reach it.
  file_ = sf_open_fd(input_.Descriptor(), SFM_READ, &info, SF_FALSE);
  if (file_ == nullptr) {
    *error = Interrupted() ? "interrupted"
                           : "cannot read '" + path + "' as audio (" + sf_strerror(nullptr) +
                                 "); give a WAV, FLAC, Ogg or other file that libsndfile "
                                 "reads";
    Close();
    return false;
  }
  if (info.channels < 1 || info.samplerate < 1) {
    *error = "'" + path + "' holds no audio channels; give a file with at least one channel";
    return false;
  }
  channels_ = info.channels;
  rate_ = info.samplerate;
  frames_ = info.frames;
  if (frames_ != SF_COUNT_MAX) promised_ = std::max<int64_t>(promised_, frames_);
  format_ = info.format;
  aheadCapacity_ = std::max<size_t>(1, kAheadSamples / static_cast<size_t>(channels_));
  ahead_ = std::make_unique_for_overwrite<float[]>(aheadCapacity_ * static_cast<size_t>(channels_));
  aheadStart_ = 0;
  aheadEnd_ = 0;
  ended_ = false;
  passFrames_ = 0;
  truncated_ = false;
  held_ = 0;
  return true;
}

int64_t QORHostAudioReader::Read(float* interleaved, int64_t frames) {
  if (file_ == nullptr || frames <= 0) return 0;
  const auto channels = static_cast<size_t>(channels_);
  const size_t capacity = aheadCapacity_;
  int64_t done = 0;
  while (done < frames) {
    if (aheadStart_ == aheadEnd_) {
      // Once interrupted the input ends, wherever a read of it would have blocked.
      if (ended_ || Interrupted()) break;
      const sf_count_t read =
          sf_readf_float(file_, ahead_.get(), static_cast<sf_count_t>(capacity));
      aheadStart_ = 0;
      aheadEnd_ = read > 0 ? static_cast<size_t>(read) : 0;
      // A short read is the end; asking again could block on a pipe or repeat an error.
      if (aheadEnd_ < capacity) {
        ended_ = true;
        const int64_t held = passFrames_ + done + static_cast<int64_t>(aheadEnd_);
        if (promised_ >= 0 && held < promised_ && !Interrupted() && !truncated_) {
          truncated_ = true;
          held_ = held;
        }
      }
      if (aheadEnd_ == 0) break;
    }
    const size_t take =
        std::min<size_t>(aheadEnd_ - aheadStart_, static_cast<size_t>(frames - done));
    std::memcpy(interleaved + static_cast<size_t>(done) * channels,
                ahead_.get() + aheadStart_ * channels, take * channels * sizeof(float));
    aheadStart_ += take;
    done += static_cast<int64_t>(take);
  }
  passFrames_ += done;
  return done;
}

bool QORHostAudioReader::Rewind() {
  if (file_ == nullptr || sf_seek(file_, 0, SEEK_SET) != 0) return false;
  // What was read ahead belongs to the pass that ended.
  aheadStart_ = aheadEnd_ = 0;
  ended_ = false;
  passFrames_ = 0;
  return true;
}
