#include "platform/QORFileReader.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <utility>

#include "platform/posix/QORPosixFd.h"

QORFileReader::Result QORFileReader::ReadRegularFile(const std::filesystem::path& path,
                                                     size_t maxBytes, std::string& text) {
  text.clear();
  if (path.empty()) return Result::kMissing;
  // O_NONBLOCK: opening a FIFO without a writer would otherwise wait for one forever. It has no
  // effect on reading a regular file.
  int fd;
  do {
    fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) {
    switch (errno) {
      case ENOENT:
      case ENOTDIR:
        return Result::kMissing;
      case ELOOP:  // the last component is a link
      case ENXIO:  // a socket, or a device without its driver
        return Result::kNotRegular;
      default:
        return Result::kFailed;
    }
  }
  const QORPosixFd file(fd);
  struct stat status {};
  if (::fstat(file.get(), &status) != 0) return Result::kFailed;
  if (!S_ISREG(status.st_mode)) return Result::kNotRegular;
  if (status.st_size < 0 || static_cast<unsigned long long>(status.st_size) > maxBytes) {
    return Result::kTooLarge;
  }

  // The size is a first guess: the file may shrink or grow while it is read. One byte past the
  // limit is asked for, so that growth past it is seen.
  const size_t cap = maxBytes == SIZE_MAX ? maxBytes : maxBytes + 1;
  std::string bytes(static_cast<size_t>(status.st_size), '\0');
  size_t done = 0;
  while (true) {
    if (done == bytes.size()) {
      if (bytes.size() > maxBytes) return Result::kTooLarge;
      bytes.resize(std::min(cap, bytes.size() + 4096));
    }
    const ssize_t n = ::read(file.get(), bytes.data() + done, bytes.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return Result::kFailed;
    if (n == 0) break;
    done += static_cast<size_t>(n);
  }
  bytes.resize(done);
  text = std::move(bytes);
  return Result::kOk;
}
