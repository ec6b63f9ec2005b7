#include "QORHostAudioReader.h"

#include <fcntl.h>
#include <poll.h>
#include <sndfile.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>

namespace {

// About 256 KiB of samples per read from the file.
constexpr size_t kAheadSamples = 65536;

// The descriptor being read and an open /dev/null to put in its place on an interrupt.
std::atomic<int> gReading{-1};
std::atomic<int> gEmpty{-1};
std::atomic<bool> gInterrupted{false};

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
int64_t HeaderFrames(int descriptor) {
  unsigned char head[12];
  if (pread(descriptor, head, sizeof(head), 0) != static_cast<ssize_t>(sizeof(head))) return -1;
  const bool wave = std::memcmp(head, "RIFF", 4) == 0 && std::memcmp(head + 8, "WAVE", 4) == 0;
  const bool aiff = std::memcmp(head, "FORM", 4) == 0 && (std::memcmp(head + 8, "AIFF", 4) == 0 ||
                                                          std::memcmp(head + 8, "AIFC", 4) == 0);
  if (!wave && !aiff) return -1;
  uint32_t formatTag = 0;
  uint32_t blockAlign = 0;
  off_t offset = 12;
  for (int chunk = 0; chunk < 64; ++chunk) {
    unsigned char header[26];
    const ssize_t got = pread(descriptor, header, sizeof(header), offset);
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
    offset += 8 + static_cast<off_t>(size) + (size & 1);
  }
  return -1;
}

}  // namespace

QORHostAudioReader::~QORHostAudioReader() {
  Close();
}

void QORHostAudioReader::Close() {
  // No interrupt may touch the number once it is closed and free for another file.
  if (gReading.load() == descriptor_) gReading.store(-1);
  if (file_ != nullptr) sf_close(file_);
  if (descriptor_ >= 0) close(descriptor_);
  file_ = nullptr;
  descriptor_ = -1;
}

void QORHostAudioReader::Interrupt() {
  const int saved = errno;
  gInterrupted.store(true);
  const int reading = gReading.load();
  const int empty = gEmpty.load();
  if (reading >= 0 && empty >= 0) dup2(empty, reading);
  errno = saved;
}

bool QORHostAudioReader::Interrupted() {
  return gInterrupted.load();
}

bool QORHostAudioReader::Open(const std::string& path, std::string* error) {
  Close();
  if (gEmpty.load() < 0) gEmpty.store(open("/dev/null", O_RDONLY | O_CLOEXEC));
  // Without a writer a FIFO's open would block where no interrupt can end it; the wait for the
  // writer is a poll instead.
  descriptor_ = path == "-" ? fcntl(STDIN_FILENO, F_DUPFD_CLOEXEC, 0)
                            : open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (descriptor_ < 0) {
    *error = "cannot read '" + path + "' as audio (" + std::strerror(errno) +
             "); give a WAV, FLAC, Ogg or other file that libsndfile reads";
    return false;
  }
  gReading.store(descriptor_);
  struct stat status {};
  fstat(descriptor_, &status);
  if (S_ISFIFO(status.st_mode) || S_ISSOCK(status.st_mode)) {
    pollfd ready{descriptor_, POLLIN, 0};
    while (!gInterrupted.load() && poll(&ready, 1, -1) < 0 && errno == EINTR) {
    }
  }
  if (gInterrupted.load()) {
    *error = "interrupted";
    return false;
  }
  fcntl(descriptor_, F_SETFL, fcntl(descriptor_, F_GETFL) & ~O_NONBLOCK);
  promised_ = S_ISREG(status.st_mode) ? HeaderFrames(descriptor_) : -1;
  SF_INFO info{};
  // The descriptor stays ours to close, after an interrupt can no longer reach its number.
  file_ = sf_open_fd(descriptor_, SFM_READ, &info, SF_FALSE);
  if (file_ == nullptr) {
    *error = gInterrupted.load() ? "interrupted"
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
      if (ended_) break;
      const sf_count_t read =
          sf_readf_float(file_, ahead_.get(), static_cast<sf_count_t>(capacity));
      aheadStart_ = 0;
      aheadEnd_ = read > 0 ? static_cast<size_t>(read) : 0;
      // A short read is the end; asking again could block on a pipe or repeat an error.
      if (aheadEnd_ < capacity) {
        ended_ = true;
        const int64_t held = passFrames_ + done + static_cast<int64_t>(aheadEnd_);
        if (promised_ >= 0 && held < promised_ && !gInterrupted.load() && !truncated_) {
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
