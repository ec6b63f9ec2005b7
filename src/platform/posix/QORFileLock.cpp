#include "platform/QORFileLock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "platform/posix/QORPosixFd.h"

bool QORFileLock::Lock(const std::filesystem::path& path, Kind kind, bool wait) {
  Unlock();
  QORPosixFd file(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK));
  struct stat status {};
  if (file.get() < 0 || ::fstat(file.get(), &status) != 0 || !S_ISREG(status.st_mode)) {
    return false;
  }
  const int operation = (kind == Kind::kShared ? LOCK_SH : LOCK_EX) | (wait ? 0 : LOCK_NB);
  int locked;
  while ((locked = ::flock(file.get(), operation)) != 0 && errno == EINTR) {
  }
  if (locked != 0) return false;
  handle_ = file.release();
  return true;
}

void QORFileLock::Unlock() {
  if (handle_ >= 0) ::close(static_cast<int>(handle_));
  handle_ = -1;
}
