#include "platform/posix/QORNamedObject.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>

#include "common/QORTextConvert.h"
#include "common/QORTrace.h"
#include "platform/posix/QORStateTree.h"

namespace {

constexpr const char* kDirectoryName = "NamedObjects";
constexpr const char* kLockFileName = ".lock";
constexpr const char* kAuxSuffix = ".aux";
// File names stay well below NAME_MAX (255) with the kind and the companion suffix added.
constexpr size_t kMaxEncodedLength = 200;
constexpr size_t kKeptPrefixLength = 160;

bool IsPlainByte(unsigned char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_' ||
         c == '-';
}

uint64_t Fnv1a64(const std::string& text) {
  uint64_t hash = 0xcbf29ce484222325ull;
  for (unsigned char c : text) {
    hash ^= c;
    hash *= 0x100000001b3ull;
  }
  return hash;
}

// A shared or exclusive lock of an open file description on [start, start + length).
bool LockRange(int fd, short type, off_t start, off_t length, bool wait) {
  struct flock lock {};
  lock.l_type = type;
  lock.l_whence = SEEK_SET;
  lock.l_start = start;
  lock.l_len = length;
  int result;
  do {
    result = ::fcntl(fd, wait ? F_OFD_SETLKW : F_OFD_SETLK, &lock);
  } while (result < 0 && errno == EINTR);
  return result == 0;
}

// True when an open file description other than fd's holds a lock on the holder byte.
bool HasOtherHolders(int fd) {
  struct flock probe {};
  probe.l_type = F_WRLCK;
  probe.l_whence = SEEK_SET;
  probe.l_start = 0;
  probe.l_len = 1;
  if (::fcntl(fd, F_OFD_GETLK, &probe) != 0) return true;  // unsure: keep the object
  return probe.l_type != F_UNLCK;
}

// Gives a file the state root's owner and group and mode 0660 whatever the umask was.
void SetOwnership(int fd, const struct stat& root, mode_t mode) {
  if (::fchown(fd, ::geteuid() == 0 ? root.st_uid : static_cast<uid_t>(-1), root.st_gid) != 0) {
    // Not a member of the root's group: the file keeps ours, still never world-accessible.
  }
  ::fchmod(fd, mode);
}

// The namespace directory under the state root, created 0770 when missing; -1 on failure.
int OpenNamespaceDirectory(struct stat& rootStat) {
  const int rootFd = QORStateTree::OpenRoot();
  if (rootFd < 0) return -1;
  if (::fstat(rootFd, &rootStat) != 0) {
    ::close(rootFd);
    return -1;
  }
  const int dirFd = QORStateTree::OpenDirectoryAt(rootFd, kDirectoryName, true);
  ::close(rootFd);
  if (dirFd < 0) return -1;
  struct stat dirStat {};
  if (::fstat(dirFd, &dirStat) != 0) {
    ::close(dirFd);
    return -1;
  }
  if ((dirStat.st_mode & 07777) != 0770 && dirStat.st_uid == ::geteuid()) {
    SetOwnership(dirFd, rootStat, 0770);
    ::fstat(dirFd, &dirStat);
  }
  if (dirStat.st_mode & S_IWOTH) {
    QORTrace({"QORNamedObject", __LINE__, "OpenNamespaceDirectory"},
             "refusing a world-writable namespace directory\n");
    ::close(dirFd);
    return -1;
  }
  return dirFd;
}

// Holds the namespace lock while it lives.
class NamespaceLock {
 public:
  NamespaceLock(int dirFd, const struct stat* rootStat) {
    fd_ = ::openat(dirFd, kLockFileName, O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0660);
    if (fd_ < 0) return;
    if (rootStat != nullptr) SetOwnership(fd_, *rootStat, 0660);
    if (!LockRange(fd_, F_WRLCK, 0, 0, true)) {
      ::close(fd_);
      fd_ = -1;
    }
  }
  ~NamespaceLock() {
    if (fd_ >= 0) ::close(fd_);
  }
  NamespaceLock(const NamespaceLock&) = delete;
  NamespaceLock& operator=(const NamespaceLock&) = delete;
  bool Held() const { return fd_ >= 0; }

 private:
  int fd_ = -1;
};

void RemoveFiles(int dirFd, const std::string& fileName) {
  ::unlinkat(dirFd, fileName.c_str(), 0);
  ::unlinkat(dirFd, (fileName + kAuxSuffix).c_str(), 0);
}

}  // namespace

QORNamedObject::~QORNamedObject() {
  Close();
}

std::string QORNamedObject::FileNameFor(const char* kind, const std::wstring& name) {
  std::wstring_view rest = name;
  for (std::wstring_view prefix : {L"Global\\", L"Local\\"}) {
    if (rest.starts_with(prefix)) {
      rest.remove_prefix(prefix.size());
      break;
    }
  }
  const std::string utf8 = QORWideToUtf8(rest);
  std::string encoded;
  for (unsigned char c : utf8) {
    if (IsPlainByte(c)) {
      encoded += static_cast<char>(c);
    } else {
      char escape[4];
      std::snprintf(escape, sizeof(escape), "%%%02X", c);
      encoded += escape;
    }
  }
  if (encoded.size() > kMaxEncodedLength) {
    char hash[24];
    std::snprintf(hash, sizeof(hash), "~%016llx", static_cast<unsigned long long>(Fnv1a64(utf8)));
    encoded = encoded.substr(0, kKeptPrefixLength) + hash;
  }
  return std::string(kind) + "." + encoded;
}

QORNamedObjectError QORNamedObject::Open(const char* kind, const std::wstring& name, Mode mode,
                                         size_t size, const Initializer& initialize,
                                         bool* existed) {
  Close();
  if (existed != nullptr) *existed = false;
  if (name.empty() || name == L"Global\\" || name == L"Local\\")
    return QORNamedObjectError::kFailed;
  const std::string fileName = FileNameFor(kind, name);
  struct stat rootStat {};
  const int dirFd = OpenNamespaceDirectory(rootStat);
  if (dirFd < 0) {
    return errno == EACCES ? QORNamedObjectError::kAccessDenied : QORNamedObjectError::kFailed;
  }
  auto fail = [&](QORNamedObjectError error, int fd) {
    if (fd >= 0) ::close(fd);
    ::close(dirFd);
    return error;
  };
  NamespaceLock lock(dirFd, &rootStat);
  if (!lock.Held()) {
    return fail(errno == EACCES ? QORNamedObjectError::kAccessDenied : QORNamedObjectError::kFailed,
                -1);
  }

  int fd = ::openat(dirFd, fileName.c_str(), O_RDWR | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0 && errno == EACCES) return fail(QORNamedObjectError::kAccessDenied, -1);
  if (fd < 0 && errno != ENOENT) return fail(QORNamedObjectError::kFailed, -1);
  if (fd >= 0) {
    struct stat fileStat {};
    if (::fstat(fd, &fileStat) != 0 || !S_ISREG(fileStat.st_mode)) {
      return fail(QORNamedObjectError::kFailed, fd);
    }
    if (HasOtherHolders(fd)) {
      if (!LockRange(fd, F_RDLCK, 0, 1, false)) return fail(QORNamedObjectError::kFailed, fd);
      if (existed != nullptr) *existed = true;
      fd_ = fd;
      dirFd_ = dirFd;
      fileName_ = fileName;
      return QORNamedObjectError::kNone;
    }
    // Its last holder died without closing: the object no longer exists.
    RemoveFiles(dirFd, fileName);
    ::close(fd);
    fd = -1;
  }
  if (mode == Mode::kOpen) return fail(QORNamedObjectError::kNotFound, -1);

  fd = ::openat(dirFd, fileName.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0660);
  if (fd < 0) {
    return fail(errno == EACCES ? QORNamedObjectError::kAccessDenied : QORNamedObjectError::kFailed,
                -1);
  }
  SetOwnership(fd, rootStat, 0660);
  const bool ready = ::ftruncate(fd, static_cast<off_t>(kDataOffset + size)) == 0 &&
                     (!initialize || initialize(fd, dirFd, fileName + kAuxSuffix)) &&
                     LockRange(fd, F_RDLCK, 0, 1, false);
  if (!ready) {
    RemoveFiles(dirFd, fileName);
    return fail(QORNamedObjectError::kFailed, fd);
  }
  fd_ = fd;
  dirFd_ = dirFd;
  fileName_ = fileName;
  return QORNamedObjectError::kNone;
}

void QORNamedObject::Close() {
  if (fd_ < 0) return;
  {
    NamespaceLock lock(dirFd_, nullptr);
    if (lock.Held() && !HasOtherHolders(fd_)) {
      // Remove the entry only when it is still this object, not a successor of the same name.
      struct stat mine {};
      struct stat entry {};
      if (::fstat(fd_, &mine) == 0 &&
          ::fstatat(dirFd_, fileName_.c_str(), &entry, AT_SYMLINK_NOFOLLOW) == 0 &&
          mine.st_dev == entry.st_dev && mine.st_ino == entry.st_ino) {
        RemoveFiles(dirFd_, fileName_);
      }
    }
    ::close(fd_);
  }
  ::close(dirFd_);
  fd_ = -1;
  dirFd_ = -1;
  fileName_.clear();
}

int QORNamedObject::OpenAux(int flags) const {
  if (dirFd_ < 0) return -1;
  return ::openat(dirFd_, (fileName_ + kAuxSuffix).c_str(), flags | O_NOFOLLOW | O_CLOEXEC);
}
