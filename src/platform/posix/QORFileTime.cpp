#include "platform/QORFileTime.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "common/QORPathConvert.h"

namespace {

// Seconds from 1601-01-01 to 1970-01-01.
constexpr uint64_t kEpochDifference = 11644473600ULL;
constexpr uint64_t kUnitsPerSecond = 10000000ULL;

uint64_t ToFileTime(const struct timespec& time) {
  if (time.tv_sec < 0) return 0;
  return (static_cast<uint64_t>(time.tv_sec) + kEpochDifference) * kUnitsPerSecond +
         static_cast<uint64_t>(time.tv_nsec) / 100;
}

}  // namespace

uint64_t QORFileTime::GetWriteTime(const std::wstring& path) {
  if (path.empty()) return 0;
  const int fd = ::open(QORPathConvert::ToNative(path).c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
  if (fd < 0) return 0;
  struct stat info {};
  const bool ok = ::fstat(fd, &info) == 0;
  ::close(fd);
  if (!ok) return 0;
  // Not every file system keeps a creation time; the status-change time stands in for it.
  if (info.st_mtim.tv_sec == 0 && info.st_mtim.tv_nsec == 0) return ToFileTime(info.st_ctim);
  return ToFileTime(info.st_mtim);
}
