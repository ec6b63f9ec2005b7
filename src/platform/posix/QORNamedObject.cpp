#include "platform/posix/QORNamedObject.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <string>

#include "common/QORTextConvert.h"
#include "common/QORTrace.h"
#include "platform/QORSystemInfo.h"
#include "platform/posix/QORStateTree.h"

namespace {

constexpr const char* kDirectoryName = "NamedObjects";
constexpr const char* kAuxSuffix = ".aux";
// File names stay well below NAME_MAX (255) with the kind and the companion suffix added.
constexpr size_t kMaxEncodedLength = 200;
constexpr size_t kKeptPrefixLength = 160;

// What stands at an object's name when it is not a regular file, as a reader would call it.
const char* ForeignKind(mode_t mode) {
  if (S_ISREG(mode)) return nullptr;
  if (S_ISFIFO(mode)) return "a FIFO";
  if (S_ISDIR(mode)) return "a folder";
  if (S_ISLNK(mode)) return "a symbolic link";
  if (S_ISSOCK(mode)) return "a socket";
  if (S_ISCHR(mode) || S_ISBLK(mode)) return "a device";
  return "something that is no file";
}

// The kind of thing at fileName when it is no regular file; null when it is one or is missing.
const char* ForeignKindAt(int dirFd, const std::string& fileName) {
  struct stat entry {};
  if (::fstatat(dirFd, fileName.c_str(), &entry, AT_SYMLINK_NOFOLLOW) != 0) return nullptr;
  return ForeignKind(entry.st_mode);
}

std::string FullPath(const std::string& fileName) {
  return (QORSystemInfo::GetStateRoot() / kDirectoryName / fileName).string();
}

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

// The namespace directory under the state root, created 0770 when missing; -1 on failure.
int OpenNamespaceDirectory() {
  const int rootFd = QORStateTree::OpenRoot();
  if (rootFd < 0) return -1;
  const int dirFd = QORStateTree::OpenDirectoryAt(rootFd, kDirectoryName, true);
  if (dirFd < 0) {
    ::close(rootFd);
    return -1;
  }
  struct stat dirStat {};
  if (::fstat(dirFd, &dirStat) != 0) {
    ::close(dirFd);
    ::close(rootFd);
    return -1;
  }
  // A directory left by an older build with other modes is put right by its owner.
  if ((dirStat.st_mode & 07777) != QORStateTree::kDirectoryMode && dirStat.st_uid == ::geteuid()) {
    QORStateTree::Adopt(rootFd, dirFd, QORStateTree::kDirectoryMode);
    ::fstat(dirFd, &dirStat);
  }
  ::close(rootFd);
  if (dirStat.st_mode & S_IWOTH) {
    QORTrace({"QORNamedObject", __LINE__, "OpenNamespaceDirectory"},
             "refusing a world-writable namespace directory\n");
    ::close(dirFd);
    return -1;
  }
  return dirFd;
}

// Byte locks of an object's file. Every holder keeps a shared lock on both bytes. An opener takes
// the join byte first and the holder byte only after it has seen another holder there, so a file
// whose holders all died is never brought back. Whoever removes a name holds the join byte
// exclusively, which succeeds only when nobody else is inside; a creator holds it so from the
// moment the file gets its name until the object is ready. Locks are per name: a stopped process
// can hold up only the name it was working on, and only for as long as kBusyWait.
constexpr off_t kJoinByte = 0;
constexpr off_t kHolderByte = 1;
// How long an open waits for a peer that is creating or removing the same name.
constexpr auto kBusyWait = std::chrono::milliseconds(1000);

std::atomic<QORNamedObject::StageHook> stageHook{nullptr};

void AtStage(QORNamedObject::Stage stage) {
  if (QORNamedObject::StageHook hook = stageHook.load()) hook(stage);
}

bool TryLock(int fd, short type, off_t byte) {
  return LockRange(fd, type, byte, 1, false);
}

// 1 when an open file description other than fd's locks the byte, 0 when none does, -1 on error.
int OthersLock(int fd, off_t byte) {
  struct flock probe {};
  probe.l_type = F_WRLCK;
  probe.l_whence = SEEK_SET;
  probe.l_start = byte;
  probe.l_len = 1;
  if (::fcntl(fd, F_OFD_GETLK, &probe) != 0) return -1;
  return probe.l_type != F_UNLCK ? 1 : 0;
}

// True while fileName names the file open as fd.
bool IsEntry(int dirFd, const std::string& fileName, int fd) {
  struct stat mine {};
  struct stat entry {};
  return ::fstat(fd, &mine) == 0 &&
         ::fstatat(dirFd, fileName.c_str(), &entry, AT_SYMLINK_NOFOLLOW) == 0 &&
         mine.st_dev == entry.st_dev && mine.st_ino == entry.st_ino;
}

// Removes the name and its companion. Only the holder of fd's exclusive join lock calls this, and
// nobody else changes a name that still names a locked file, so the check cannot go stale.
void RemoveEntry(int dirFd, const std::string& fileName, int fd) {
  if (!IsEntry(dirFd, fileName, fd)) return;
  // The companion first: while the name exists, its companion belongs to it.
  ::unlinkat(dirFd, (fileName + kAuxSuffix).c_str(), 0);
  ::unlinkat(dirFd, fileName.c_str(), 0);
}

// Links a new empty file, already locked exclusively, under fileName; -1 on failure, with errno
// EEXIST when the name is taken. The file never shows under the name unlocked.
int CreateEntry(int dirFd, const std::string& fileName) {
  static std::atomic<unsigned> tempCounter{0};
  for (bool unnamed : {true, false}) {
    std::string tempName;
    int fd;
    if (unnamed) {
      fd = ::openat(dirFd, ".", O_TMPFILE | O_RDWR | O_CLOEXEC, 0660);
    } else {
      tempName = ".new." + std::to_string(::getpid()) + "." + std::to_string(tempCounter++);
      fd = ::openat(dirFd, tempName.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                    0660);
    }
    if (fd < 0) {
      if (unnamed) continue;
      return -1;
    }
    QORStateTree::Adopt(dirFd, fd, QORStateTree::kFileMode);
    int linked = -1;
    if (TryLock(fd, F_WRLCK, kJoinByte)) {
      if (unnamed) {
        char path[40];
        std::snprintf(path, sizeof(path), "/proc/self/fd/%d", fd);
        linked = ::linkat(AT_FDCWD, path, dirFd, fileName.c_str(), AT_SYMLINK_FOLLOW);
      } else {
        linked = ::linkat(dirFd, tempName.c_str(), dirFd, fileName.c_str(), 0);
      }
    }
    const int error = errno;
    if (!tempName.empty()) ::unlinkat(dirFd, tempName.c_str(), 0);
    if (linked == 0) return fd;
    ::close(fd);
    errno = error;
    if (error == EEXIST || !unnamed) return -1;
  }
  return -1;
}

enum class JoinResult {
  kJoined,     // fd now holds the object
  kRemoved,    // its holders were gone; this call removed the name
  kChanged,    // the name was removed or replaced meanwhile
  kBusy,       // a peer is creating or removing it
  kContended,  // its holders are gone, but another opener is still deciding
  kFailed,
};

// Joins the holders of the existing file fd, or removes it when it has none left.
JoinResult Join(int fd, int dirFd, const std::string& fileName) {
  if (!TryLock(fd, F_RDLCK, kJoinByte)) {
    return errno == EAGAIN || errno == EACCES ? JoinResult::kBusy : JoinResult::kFailed;
  }
  // Holding the join byte keeps the name from being removed from here on.
  if (!IsEntry(dirFd, fileName, fd)) return JoinResult::kChanged;
  AtStage(QORNamedObject::Stage::kJoining);
  const int others = OthersLock(fd, kHolderByte);
  if (others < 0) return JoinResult::kFailed;
  if (others > 0) {
    return TryLock(fd, F_RDLCK, kHolderByte) ? JoinResult::kJoined : JoinResult::kFailed;
  }
  // No holder left: the object ended. Whoever is alone inside removes the name.
  if (!TryLock(fd, F_WRLCK, kJoinByte)) return JoinResult::kContended;
  AtStage(QORNamedObject::Stage::kRemoving);
  RemoveEntry(dirFd, fileName, fd);
  return JoinResult::kRemoved;
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
  const int dirFd = OpenNamespaceDirectory();
  if (dirFd < 0) {
    return errno == EACCES ? QORNamedObjectError::kAccessDenied : QORNamedObjectError::kFailed;
  }
  auto fail = [&](QORNamedObjectError error, int fd) {
    if (fd >= 0) ::close(fd);
    ::close(dirFd);
    return error;
  };
  auto hold = [&](int fd) {
    fd_ = fd;
    dirFd_ = dirFd;
    fileName_ = fileName;
    return QORNamedObjectError::kNone;
  };
  const auto deadline = std::chrono::steady_clock::now() + kBusyWait;
  int pauseMs = 1;
  // Waits a little (with jitter, so two openers that keep meeting part); false past the deadline.
  auto pause = [&] {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    const long jitterUs = (static_cast<long>(::gettid()) * 7919 + pauseMs * 104729L) % 1000;
    const timespec delay{0, static_cast<long>(pauseMs) * 1'000'000L + jitterUs * 1000L};
    ::nanosleep(&delay, nullptr);
    pauseMs = std::min(pauseMs * 2, 8);
    return true;
  };

  // Something else at the name (a FIFO, a folder, a link...) is never opened for use: opening a
  // FIFO or a device could block, and nothing of ours can be made there until it goes.
  auto inTheWay = [&](const char* what, int fd) {
    QORTrace({"QORNamedObject", __LINE__, "QORNamedObject::Open"}, "%s is in the way at %s\n", what,
             FullPath(fileName).c_str());
    return fail(QORNamedObjectError::kInTheWay, fd);
  };

  for (;;) {
    if (const char* what = ForeignKindAt(dirFd, fileName)) return inTheWay(what, -1);
    // Non-blocking in case a FIFO or device was put there since the look above.
    int fd = ::openat(dirFd, fileName.c_str(), O_RDWR | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0 && errno != ENOENT) {
      const int error = errno;
      if (const char* what = ForeignKindAt(dirFd, fileName)) return inTheWay(what, -1);
      return fail(
          error == EACCES ? QORNamedObjectError::kAccessDenied : QORNamedObjectError::kFailed, -1);
    }
    if (fd < 0) {
      if (mode == Mode::kOpen) return fail(QORNamedObjectError::kNotFound, -1);
      fd = CreateEntry(dirFd, fileName);
      if (fd < 0 && errno == EEXIST) continue;  // another creator won: open theirs
      if (fd < 0) {
        return fail(
            errno == EACCES ? QORNamedObjectError::kAccessDenied : QORNamedObjectError::kFailed,
            -1);
      }
      AtStage(Stage::kCreating);
      // The name is ours alone now, so a companion left over without its object goes.
      ::unlinkat(dirFd, (fileName + kAuxSuffix).c_str(), 0);
      // Nobody can join before the join byte is given up below.
      const bool ready = ::ftruncate(fd, static_cast<off_t>(kDataOffset + size)) == 0 &&
                         (!initialize || initialize(fd, dirFd, fileName + kAuxSuffix)) &&
                         TryLock(fd, F_RDLCK, kHolderByte) && TryLock(fd, F_RDLCK, kJoinByte);
      if (!ready) {
        RemoveEntry(dirFd, fileName, fd);
        return fail(QORNamedObjectError::kFailed, fd);
      }
      return hold(fd);
    }
    struct stat fileStat {};
    if (::fstat(fd, &fileStat) != 0) return fail(QORNamedObjectError::kFailed, fd);
    if (const char* what = ForeignKind(fileStat.st_mode)) return inTheWay(what, fd);
    // Our own file: reads and writes of it wait as usual.
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    const JoinResult joined = Join(fd, dirFd, fileName);
    if (joined == JoinResult::kJoined) {
      if (existed != nullptr) *existed = true;
      return hold(fd);
    }
    ::close(fd);
    switch (joined) {
      case JoinResult::kRemoved:
        // Its last holder died without closing: the object no longer exists.
        if (mode == Mode::kOpen) return fail(QORNamedObjectError::kNotFound, -1);
        break;
      case JoinResult::kChanged:
        break;
      case JoinResult::kBusy:
        // Being created (not there yet) or removed (gone already).
        if (mode == Mode::kOpen) return fail(QORNamedObjectError::kNotFound, -1);
        [[fallthrough]];
      case JoinResult::kContended:
        if (!pause()) {
          QORTrace({"QORNamedObject", __LINE__, "QORNamedObject::Open"},
                   "%s: another process keeps the name busy\n", fileName.c_str());
          return fail(QORNamedObjectError::kBusy, -1);
        }
        break;
      default:
        return fail(QORNamedObjectError::kFailed, -1);
    }
  }
}

void QORNamedObject::Close() {
  if (fd_ < 0) return;
  // Alone inside means the last holder: the object ends with this handle.
  if (TryLock(fd_, F_WRLCK, kJoinByte)) {
    AtStage(Stage::kRemoving);
    RemoveEntry(dirFd_, fileName_, fd_);
  }
  ::close(fd_);
  ::close(dirFd_);
  fd_ = -1;
  dirFd_ = -1;
  fileName_.clear();
}

bool QORNamedObject::FindInTheWay(const char* kind, const std::wstring& name, std::string* what,
                                  std::string* path) {
  const int rootFd = QORStateTree::OpenRoot();
  if (rootFd < 0) return false;
  const int dirFd = QORStateTree::OpenDirectoryAt(rootFd, kDirectoryName, false);
  ::close(rootFd);
  if (dirFd < 0) return false;
  const std::string fileName = FileNameFor(kind, name);
  const char* found = ForeignKindAt(dirFd, fileName);
  ::close(dirFd);
  if (found == nullptr) return false;
  if (what != nullptr) *what = found;
  if (path != nullptr) *path = FullPath(fileName);
  return true;
}

void QORNamedObject::SetStageHook(StageHook hook) {
  stageHook.store(hook);
}

int QORNamedObject::OpenAux(int flags) const {
  if (dirFd_ < 0) return -1;
  return ::openat(dirFd_, (fileName_ + kAuxSuffix).c_str(), flags | O_NOFOLLOW | O_CLOEXEC);
}
