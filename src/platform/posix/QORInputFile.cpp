#include "platform/QORInputFile.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>

namespace {

// The descriptor being read and an open /dev/null to put in its place on an interrupt.
std::atomic<int> gReading{-1};
std::atomic<int> gEmpty{-1};
std::atomic<bool> gInterrupted{false};

}  // namespace

bool QORInputFile::Open(const std::filesystem::path& path, std::string* reason) {
  Close();
  // Without a writer a FIFO's open would block where no interrupt can end it; the wait for the
  // writer is a poll instead.
  return Opened(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC), reason);
}

bool QORInputFile::OpenStandardInput(std::string* reason) {
  Close();
  return Opened(::fcntl(STDIN_FILENO, F_DUPFD_CLOEXEC, 0), reason);
}

bool QORInputFile::Opened(int descriptor, std::string* reason) {
  if (gEmpty.load() < 0) gEmpty.store(::open("/dev/null", O_RDONLY | O_CLOEXEC));
  if (descriptor < 0) {
    *reason = std::strerror(errno);
    return false;
  }
  descriptor_ = descriptor;
  gReading.store(descriptor_);
  struct stat status {};
  ::fstat(descriptor_, &status);
  regular_ = S_ISREG(status.st_mode);
  if (S_ISFIFO(status.st_mode) || S_ISSOCK(status.st_mode)) {
    pollfd ready{descriptor_, POLLIN, 0};
    while (!gInterrupted.load() && ::poll(&ready, 1, -1) < 0 && errno == EINTR) {
    }
  }
  if (gInterrupted.load()) {
    *reason = "interrupted";
    Close();
    return false;
  }
  ::fcntl(descriptor_, F_SETFL, ::fcntl(descriptor_, F_GETFL) & ~O_NONBLOCK);
  return true;
}

void QORInputFile::Close() {
  // No interrupt may touch the number once it is closed and free for another file.
  if (gReading.load() == descriptor_) gReading.store(-1);
  if (descriptor_ >= 0) ::close(descriptor_);
  descriptor_ = -1;
  regular_ = false;
}

bool QORInputFile::IsFile(const std::filesystem::path& path) const {
  struct stat open {};
  struct stat named {};
  return descriptor_ >= 0 && ::fstat(descriptor_, &open) == 0 &&
         ::stat(path.c_str(), &named) == 0 && open.st_dev == named.st_dev &&
         open.st_ino == named.st_ino;
}

int64_t QORInputFile::ReadAt(void* buffer, size_t size, int64_t offset) const {
  return ::pread(descriptor_, buffer, size, static_cast<off_t>(offset));
}

void QORInputFile::Interrupt() {
  const int saved = errno;
  gInterrupted.store(true);
  const int reading = gReading.load();
  const int empty = gEmpty.load();
  if (reading >= 0 && empty >= 0) ::dup2(empty, reading);
  errno = saved;
}

bool QORInputFile::Interrupted() {
  return gInterrupted.load();
}
