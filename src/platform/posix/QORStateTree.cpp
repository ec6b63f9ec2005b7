#include "platform/posix/QORStateTree.h"

#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <filesystem>
#include <string>

#include "platform/QORSystemInfo.h"

namespace {

// close() that leaves errno as the failure before it set it.
void CloseKeepingErrno(int fd) {
  const int error = errno;
  ::close(fd);
  errno = error;
}

}  // namespace

int QORStateTree::OpenRoot() {
  const std::filesystem::path root = QORSystemInfo::GetStateRoot();
  const int fd = ::open(root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd >= 0 || errno != ENOENT) return fd;
  // Parents outside the root are not ours to open up: 0755 as the umask lets it, never writable
  // by others.
  std::filesystem::path partial;
  for (const std::filesystem::path& part : root.parent_path()) {
    partial /= part;
    if (::mkdir(partial.c_str(), 0755) != 0 && errno != EEXIST) return -1;
  }
  if (::mkdir(root.c_str(), kDirectoryMode) != 0) {
    if (errno != EEXIST) return -1;
    return ::open(root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  }
  const int created = ::open(root.c_str(), kDirectoryFlags);
  if (created >= 0) ::fchmod(created, kDirectoryMode);
  return created;
}

int QORStateTree::OpenBeneath(int dirFd, const std::string& path, int flags) {
  // A key's path is a dozen directories deep and read at every start; one call instead of a dozen
  // opens and closes.
  static std::atomic<bool> unavailable{false};
  if (unavailable.load(std::memory_order_relaxed)) {
    errno = ENOSYS;
    return -1;
  }
  open_how how{};
  how.flags = static_cast<uint64_t>(flags | O_NOFOLLOW | O_CLOEXEC);
  how.resolve = RESOLVE_BENEATH | RESOLVE_NO_SYMLINKS | RESOLVE_NO_MAGICLINKS;
  const long fd = ::syscall(SYS_openat2, dirFd, path.c_str(), &how, sizeof(how));
  if (fd < 0 && errno == ENOSYS) unavailable.store(true, std::memory_order_relaxed);
  return static_cast<int>(fd);
}

int QORStateTree::OpenDirectory(std::string_view path, bool create) {
  int current = OpenRoot();
  if (current >= 0 && !path.empty() && path.find("//") == std::string_view::npos &&
      path.front() != '/' && path.back() != '/') {
    // The whole path at once when it is all there and every component is a plain name.
    bool plain = true;
    for (size_t at = 0; at <= path.size() && plain;) {
      const size_t slash = std::min(path.find('/', at), path.size());
      const std::string_view name = path.substr(at, slash - at);
      plain = name != "." && name != "..";
      at = slash + 1;
    }
    const int fd = plain ? OpenBeneath(current, std::string(path), kDirectoryFlags) : -1;
    if (fd >= 0) {
      ::close(current);
      return fd;
    }
  }
  while (current >= 0 && !path.empty()) {
    const size_t slash = path.find('/');
    const std::string name(path.substr(0, slash));
    path = slash == std::string_view::npos ? std::string_view() : path.substr(slash + 1);
    int next = -1;
    if (name.empty() || name == "." || name == "..") {
      errno = EINVAL;
    } else {
      next = OpenDirectoryAt(current, name.c_str(), create);
    }
    CloseKeepingErrno(current);
    current = next;
  }
  return current;
}

int QORStateTree::OpenDirectoryAt(int dirFd, const char* name, bool create) {
  const int fd = ::openat(dirFd, name, kDirectoryFlags);
  if (fd >= 0 || errno != ENOENT || !create) return fd;
  if (MakeDirectoryAt(dirFd, name) != 0 && errno != EEXIST) return -1;
  return ::openat(dirFd, name, kDirectoryFlags);
}

int QORStateTree::MakeDirectoryAt(int dirFd, const char* name) {
  if (::mkdirat(dirFd, name, kDirectoryMode) != 0) return -1;
  const int fd = ::openat(dirFd, name, kDirectoryFlags);
  if (fd < 0) return -1;  // replaced at once; whoever did it owns the result
  Adopt(dirFd, fd, kDirectoryMode);
  ::close(fd);
  return 0;
}

int QORStateTree::CreateFileAt(int dirFd, const char* name, int flags) {
  const int fd =
      ::openat(dirFd, name, flags | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, kFileMode);
  if (fd >= 0) Adopt(dirFd, fd, kFileMode);
  return fd;
}

int QORStateTree::OpenFileAt(int dirFd, const char* name, int flags) {
  const int fd = ::openat(dirFd, name, flags | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) return -1;
  struct stat st {};
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    ::close(fd);
    errno = ENXIO;
    return -1;
  }
  return fd;
}

void QORStateTree::Adopt(int dirFd, int fd, mode_t mode) {
  struct stat dir {};
  if (::fstat(dirFd, &dir) == 0) {
    const uid_t owner = ::geteuid() == 0 ? dir.st_uid : static_cast<uid_t>(-1);
    if (::fchown(fd, owner, dir.st_gid) != 0) {
      // Not a member of that group: the entry keeps ours, and the mode still shuts others out.
    }
  }
  ::fchmod(fd, mode);
}
