#include "platform/QORRegistryKey.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <random>

#include "common/QORTextConvert.h"
#include "platform/posix/QORPosixFd.h"
#include "platform/posix/QORRegistryName.h"
#include "platform/posix/QORRegistryValueFile.h"
#include "platform/posix/QORStateTree.h"

// A key is a directory, a value a file in it (QORRegistryValueFile). Subkey directories and value
// files carry escaped, case-folded names (QORRegistryName); a key's own spelling is in its file
// "n". New keys and new value contents are prepared under a temporary name and renamed into place,
// so that others see them complete or not at all; deleted keys are renamed away before removal.
// Temporary names carry the pid of their maker, so that those of dead makers can be removed.
// Every stored file is opened so that neither a link nor a FIFO planted in the store is followed
// or waited on (QORStateTree).

struct QORRegistryKey::Snapshot {
  std::mutex mutex;
  std::vector<QORRegistryValue> values;
  std::vector<std::wstring> subKeys;
};

namespace {

constexpr char kSpellingFile[] = "n";

uint32_t ErrorFromErrno(int error) {
  switch (error) {
    case ENOENT:
    case ENOTDIR:
    case ELOOP:
      return ERROR_FILE_NOT_FOUND;
    case EACCES:
    case EPERM:
    case EROFS:
      return ERROR_ACCESS_DENIED;
    case ENOMEM:
      return ERROR_OUTOFMEMORY;
    case EMFILE:
    case ENFILE:
      return ERROR_TOO_MANY_OPEN_FILES;
    case ENAMETOOLONG:
      return ERROR_INVALID_PARAMETER;
    default:
      return ERROR_GEN_FAILURE;
  }
}

bool IsDeleted(int dirFd) {
  struct stat st {};
  return ::fstat(dirFd, &st) != 0 || st.st_nlink == 0;
}

// Temporary entries: 'w' a value being written, 'c' a key being created, 'd' a key being deleted.
constexpr char kWriteTag = 'w';
constexpr char kCreateTag = 'c';
constexpr char kDeleteTag = 'd';

// ".<tag><pid>-<random><counter>"
std::string TempName(char tag) {
  static std::atomic<uint64_t> counter{0};
  thread_local std::mt19937_64 random{std::random_device{}() ^
                                      (static_cast<uint64_t>(::getpid()) << 32)};
  char buffer[64];
  std::snprintf(buffer, sizeof buffer, ".%c%d-%016llx%llx", tag, static_cast<int>(::getpid()),
                static_cast<unsigned long long>(random()),
                static_cast<unsigned long long>(counter.fetch_add(1)));
  return buffer;
}

// The pid of the maker of a temporary entry; 0 for anything else, including older names without
// a pid.
pid_t TempMaker(const char* name) {
  if (name[0] != '.' || (name[1] != kWriteTag && name[1] != kCreateTag && name[1] != kDeleteTag)) {
    return 0;
  }
  char* end = nullptr;
  const long pid = std::strtol(name + 2, &end, 10);
  return end != name + 2 && *end == '-' && pid > 0 ? static_cast<pid_t>(pid) : 0;
}

uint32_t NormaliseRights(uint32_t rights) {
  if ((rights & (KEY_GENERIC_ALL | KEY_MAXIMUM_ALLOWED)) != 0) rights |= KEY_ALL_ACCESS;
  if ((rights & KEY_GENERIC_READ) != 0) rights |= KEY_READ;
  if ((rights & KEY_GENERIC_WRITE) != 0) rights |= KEY_WRITE;
  return rights & KEY_ALL_ACCESS;
}

// A name is text: no NUL, and no code unit that UTF-16 cannot hold (a lone surrogate would be
// stored as U+FFFD, sharing its file with that name). Key names are counted in characters, value
// names in UTF-16 units, which is how the value file stores them.
bool ValidName(std::wstring_view name, size_t maxLength, bool isValue) {
  if ((isValue ? QORUtf16Length(name) : name.size()) > maxLength) return false;
  for (wchar_t c : name) {
    const auto code = static_cast<char32_t>(c);
    if (c == L'\0' || (!isValue && c == L'\\') || code > 0x10FFFF ||
        (code >= 0xD800 && code <= 0xDFFF)) {
      return false;
    }
  }
  return true;
}

// Splits "a\b\c" (a trailing backslash is allowed); empty names in between are refused.
uint32_t SplitPath(std::wstring_view path, std::vector<std::wstring_view>& parts) {
  parts.clear();
  if (!path.empty() && path.back() == L'\\') path.remove_suffix(1);
  if (path.empty()) return ERROR_SUCCESS;
  size_t start = 0;
  while (true) {
    const size_t end = path.find(L'\\', start);
    const std::wstring_view part =
        path.substr(start, end == std::wstring_view::npos ? path.npos : end - start);
    if (part.empty()) return ERROR_BAD_PATHNAME;
    if (!ValidName(part, kQORRegistryMaxKeyNameChars, false)) return ERROR_INVALID_PARAMETER;
    parts.push_back(part);
    if (end == std::wstring_view::npos) break;
    start = end + 1;
  }
  return ERROR_SUCCESS;
}

bool ReadAll(int fd, std::vector<uint8_t>& out, size_t limit) {
  struct stat st {};
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) return false;
  if (static_cast<uint64_t>(st.st_size) > limit) return false;
  out.resize(static_cast<size_t>(st.st_size));
  size_t done = 0;
  while (true) {
    if (done == out.size()) out.resize(out.size() + 4096);
    const ssize_t n = ::read(fd, out.data() + done, out.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return false;
    if (n == 0) break;
    done += static_cast<size_t>(n);
    if (done > limit) return false;
  }
  out.resize(done);
  return true;
}

bool WriteAll(int fd, const std::vector<uint8_t>& bytes) {
  size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

// Opens a stored value file; a link, FIFO or anything else that is no regular file is damage.
uint32_t OpenValueFile(int dirFd, const std::string& file, QORPosixFd* out) {
  out->reset(QORStateTree::OpenFileAt(dirFd, file.c_str(), O_RDONLY));
  if (out->get() >= 0) return ERROR_SUCCESS;
  const int error = errno;
  if (error == ENOENT && IsDeleted(dirFd)) return ERROR_KEY_DELETED;
  if (error == ENXIO || error == ELOOP) return ERROR_BADDB;
  return ErrorFromErrno(error);
}

uint32_t ReadValueFile(int dirFd, const std::string& file, QORRegistryValue* value) {
  QORPosixFd fd;
  const uint32_t opened = OpenValueFile(dirFd, file, &fd);
  if (opened != ERROR_SUCCESS) return opened;
  std::vector<uint8_t> bytes;
  if (!ReadAll(fd.get(), bytes, QORRegistryValueFile::kMaxFileBytes)) return ERROR_BADDB;
  if (!QORRegistryValueFile::Parse(bytes.data(), bytes.size(), value)) return ERROR_BADDB;
  return ERROR_SUCCESS;
}

// As ReadValueFile, but reads only as far as the name: a value file holds at most that many bytes
// before its data, and Parse accepts the file exactly when it accepts that part of it.
uint32_t ReadValueName(int dirFd, const std::string& file, std::wstring* name) {
  QORPosixFd fd;
  const uint32_t opened = OpenValueFile(dirFd, file, &fd);
  if (opened != ERROR_SUCCESS) return opened;
  struct stat st {};
  if (::fstat(fd.get(), &st) != 0 ||
      static_cast<uint64_t>(st.st_size) > QORRegistryValueFile::kMaxFileBytes) {
    return ERROR_BADDB;
  }
  constexpr size_t kHead = 12 + 2 * size_t{kQORRegistryMaxValueNameChars};
  std::vector<uint8_t> bytes(std::min(kHead, static_cast<size_t>(st.st_size)));
  size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n =
        ::pread(fd.get(), bytes.data() + done, bytes.size() - done, static_cast<off_t>(done));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return ERROR_BADDB;
    done += static_cast<size_t>(n);
  }
  QORRegistryValue value;
  if (!QORRegistryValueFile::Parse(bytes.data(), bytes.size(), &value)) return ERROR_BADDB;
  *name = std::move(value.name);
  return ERROR_SUCCESS;
}

// Reads value `name`, making sure the stored name is the one asked for.
uint32_t ReadNamedValue(int dirFd, std::wstring_view name, QORRegistryValue* value) {
  const uint32_t result =
      ReadValueFile(dirFd, QORRegistryName::FileName(QORRegistryName::kValuePrefix, name), value);
  if (result != ERROR_SUCCESS) return result;
  return QORRegistryName::EqualsIgnoreCase(value->name, name) ? ERROR_SUCCESS : ERROR_BADDB;
}

uint32_t WriteFileAtomically(int dirFd, const std::string& file,
                             const std::vector<uint8_t>& bytes) {
  const std::string temp = TempName(kWriteTag);
  QORPosixFd fd(QORStateTree::CreateFileAt(dirFd, temp.c_str(), O_WRONLY));
  if (fd.get() < 0) {
    const int error = errno;
    if (error == ENOENT) return ERROR_KEY_DELETED;
    return error == EACCES || error == EPERM || error == EROFS ? ERROR_ACCESS_DENIED
                                                               : ERROR_CANTWRITE;
  }
  const bool written = WriteAll(fd.get(), bytes);
  fd.reset(-1);
  if (!written || ::renameat(dirFd, temp.c_str(), dirFd, file.c_str()) != 0) {
    ::unlinkat(dirFd, temp.c_str(), 0);
    return ERROR_CANTWRITE;
  }
  return ERROR_SUCCESS;
}

std::vector<std::string> ListEntries(int dirFd, char prefix) {
  std::vector<std::string> names;
  const int copy = ::openat(dirFd, ".", QORStateTree::kDirectoryFlags);
  if (copy < 0) return names;
  DIR* dir = ::fdopendir(copy);
  if (dir == nullptr) {
    ::close(copy);
    return names;
  }
  while (const dirent* entry = ::readdir(dir)) {
    if (entry->d_name[0] == prefix) names.emplace_back(entry->d_name);
  }
  ::closedir(dir);
  return names;
}

// Removes every entry of dirFd but its directories, whose names go to subdirectories.
bool EmptyOfFiles(int dirFd, std::vector<std::string>& subdirectories) {
  const int copy = ::openat(dirFd, ".", QORStateTree::kDirectoryFlags);
  DIR* dir = copy >= 0 ? ::fdopendir(copy) : nullptr;
  if (dir == nullptr) {
    if (copy >= 0) ::close(copy);
    return false;
  }
  bool removed = true;
  while (const dirent* entry = ::readdir(dir)) {
    const char* name = entry->d_name;
    if (std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0) continue;
    bool isDir = entry->d_type == DT_DIR;
    if (entry->d_type == DT_UNKNOWN) {
      struct stat st {};
      isDir = ::fstatat(dirFd, name, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISDIR(st.st_mode);
    }
    if (isDir) {
      subdirectories.emplace_back(name);
    } else if (::unlinkat(dirFd, name, 0) != 0 && errno != ENOENT) {
      removed = false;
      break;
    }
  }
  const int error = errno;
  ::closedir(dir);
  errno = error;
  return removed;
}

bool SameDirectory(int fd, const struct stat& expected) {
  struct stat st {};
  return ::fstat(fd, &st) == 0 && st.st_dev == expected.st_dev && st.st_ino == expected.st_ino;
}

// Removes the directory `name` beneath parentFd with everything in it. However deep the tree, it
// holds three descriptors at most: it goes down by name and back up by "..", checking each step up
// against the directory it came from. False (errno set) when something is left.
bool RemoveTreeAt(int parentFd, const std::string& name) {
  struct Level {
    std::string name;  // in the level above
    struct stat self;
    std::vector<std::string> pending;  // subdirectories still to remove
  };
  std::vector<Level> levels;
  QORPosixFd dir(::openat(parentFd, name.c_str(), QORStateTree::kDirectoryFlags));
  if (dir.get() < 0) return errno == ENOENT;
  levels.push_back({name, {}, {}});
  if (::fstat(dir.get(), &levels.back().self) != 0 ||
      !EmptyOfFiles(dir.get(), levels.back().pending)) {
    return false;
  }
  int refills = 0;  // bounds the rescans of directories that writers keep filling
  while (!levels.empty()) {
    Level& level = levels.back();
    if (!level.pending.empty()) {
      const std::string child = std::move(level.pending.back());
      level.pending.pop_back();
      QORPosixFd next(::openat(dir.get(), child.c_str(), QORStateTree::kDirectoryFlags));
      if (next.get() < 0) {
        if (errno == ENOENT) continue;
        return false;
      }
      Level below{child, {}, {}};
      if (::fstat(next.get(), &below.self) != 0 || !EmptyOfFiles(next.get(), below.pending)) {
        return false;
      }
      levels.push_back(std::move(below));
      dir.reset(next.release());
      continue;
    }
    const std::string done = level.name;
    levels.pop_back();
    QORPosixFd up(levels.empty() ? ::openat(parentFd, ".", QORStateTree::kDirectoryFlags)
                                 : ::openat(dir.get(), "..", QORStateTree::kDirectoryFlags));
    if (up.get() < 0) return false;
    if (!levels.empty() && !SameDirectory(up.get(), levels.back().self)) {
      errno = ESTALE;  // moved while we were inside
      return false;
    }
    dir.reset(up.release());
    if (::unlinkat(dir.get(), done.c_str(), AT_REMOVEDIR) == 0 || errno == ENOENT) continue;
    if (errno != ENOTEMPTY || ++refills > 64) return false;
    // Something was written into it meanwhile: go back in.
    QORPosixFd again(::openat(dir.get(), done.c_str(), QORStateTree::kDirectoryFlags));
    Level retry{done, {}, {}};
    if (again.get() < 0 || ::fstat(again.get(), &retry.self) != 0 ||
        !EmptyOfFiles(again.get(), retry.pending)) {
      return false;
    }
    levels.push_back(std::move(retry));
    dir.reset(again.release());
  }
  return true;
}

// Removes the temporary entries of dirFd whose makers have died (killed in the middle of a write,
// a creation or a deletion); those of live processes are theirs to finish.
void RemoveStaleTemporaries(int dirFd) {
  for (const std::string& name : ListEntries(dirFd, '.')) {
    const pid_t maker = TempMaker(name.c_str());
    if (maker <= 0 || maker == ::getpid() || ::kill(maker, 0) == 0 || errno != ESRCH) continue;
    if (name[1] == kWriteTag) {
      ::unlinkat(dirFd, name.c_str(), 0);
    } else {
      RemoveTreeAt(dirFd, name);
    }
  }
}

std::wstring ReadSpelling(int keyFd) {
  QORPosixFd fd(QORStateTree::OpenFileAt(keyFd, kSpellingFile, O_RDONLY));
  std::vector<uint8_t> bytes;
  if (fd.get() < 0 || !ReadAll(fd.get(), bytes, kQORRegistryMaxKeyNameChars * 4)) return {};
  if (bytes.size() % 2 != 0) return {};
  return QORUtf16LEToWide(bytes.data(), bytes.size());
}

uint32_t OpenChild(int dirFd, std::wstring_view name, int* out) {
  const std::string file = QORRegistryName::FileName(QORRegistryName::kKeyPrefix, name);
  const int fd = ::openat(dirFd, file.c_str(), QORStateTree::kDirectoryFlags);
  if (fd < 0) {
    const int error = errno;
    if (error == ENOENT && IsDeleted(dirFd)) return ERROR_KEY_DELETED;
    return ErrorFromErrno(error);
  }
  *out = fd;
  return ERROR_SUCCESS;
}

bool RenameNoReplace(int dirFd, const std::string& from, const std::string& to) {
  if (::renameat2(dirFd, from.c_str(), dirFd, to.c_str(), RENAME_NOREPLACE) == 0) return true;
  if (errno != EINVAL) return false;
  // File systems without RENAME_NOREPLACE: a directory only replaces an empty one, and every
  // key directory holds its spelling file.
  return ::renameat(dirFd, from.c_str(), dirFd, to.c_str()) == 0;
}

uint32_t CreateChild(int dirFd, std::wstring_view name, int* out, bool* created) {
  *created = false;
  for (int attempt = 0; attempt < 8; ++attempt) {
    const uint32_t opened = OpenChild(dirFd, name, out);
    if (opened != ERROR_FILE_NOT_FOUND) return opened;
    if (attempt == 0) RemoveStaleTemporaries(dirFd);
    const std::string temp = TempName(kCreateTag);
    if (QORStateTree::MakeDirectoryAt(dirFd, temp.c_str()) != 0) {
      return errno == ENOENT ? ERROR_KEY_DELETED : ErrorFromErrno(errno);
    }
    {
      QORPosixFd tempDir(::openat(dirFd, temp.c_str(), QORStateTree::kDirectoryFlags));
      QORPosixFd spelling(tempDir.get() < 0
                              ? -1
                              : QORStateTree::CreateFileAt(tempDir.get(), kSpellingFile, O_WRONLY));
      if (spelling.get() < 0 || !WriteAll(spelling.get(), QORWideToUtf16LE(name))) {
        RemoveTreeAt(dirFd, temp);
        return ERROR_CANTWRITE;
      }
    }
    const std::string file = QORRegistryName::FileName(QORRegistryName::kKeyPrefix, name);
    if (RenameNoReplace(dirFd, temp, file)) {
      *created = true;
    } else {
      const int error = errno;
      RemoveTreeAt(dirFd, temp);
      if (error != EEXIST && error != ENOTEMPTY) return ErrorFromErrno(error);
    }
    const uint32_t result = OpenChild(dirFd, name, out);
    if (result != ERROR_FILE_NOT_FOUND) return result;
    *created = false;  // removed again at once by someone else: start over
  }
  return ERROR_CANTWRITE;
}

// Walks from baseFd through parts; returns a new descriptor in *out.
uint32_t Walk(int baseFd, const std::vector<std::wstring_view>& parts, size_t count, bool create,
              int* out, bool* created) {
  if (!create && count > 0) {
    // An existing key in one call; anything else (missing, deleted meanwhile) walks below, which
    // tells which.
    std::string path;
    for (size_t i = 0; i < count; ++i) {
      if (i != 0) path += '/';
      path += QORRegistryName::FileName(QORRegistryName::kKeyPrefix, parts[i]);
    }
    const int fd = QORStateTree::OpenBeneath(baseFd, path, QORStateTree::kDirectoryFlags);
    if (fd >= 0) {
      if (created != nullptr) *created = false;
      *out = fd;
      return ERROR_SUCCESS;
    }
  }
  QORPosixFd current(::openat(baseFd, ".", QORStateTree::kDirectoryFlags));
  if (current.get() < 0) return ErrorFromErrno(errno);
  bool last = false;
  for (size_t i = 0; i < count; ++i) {
    int next = -1;
    const uint32_t result = create ? CreateChild(current.get(), parts[i], &next, &last)
                                   : OpenChild(current.get(), parts[i], &next);
    if (result != ERROR_SUCCESS) return result;
    current.reset(next);
  }
  if (created != nullptr) *created = last;
  *out = current.release();
  return ERROR_SUCCESS;
}

uint32_t DeleteAt(int baseFd, std::wstring_view path, bool tree) {
  std::vector<std::wstring_view> parts;
  const uint32_t split = SplitPath(path, parts);
  if (split != ERROR_SUCCESS) return split;
  if (parts.empty()) return ERROR_ACCESS_DENIED;
  int parentRaw = -1;
  const uint32_t walked = Walk(baseFd, parts, parts.size() - 1, false, &parentRaw, nullptr);
  if (walked != ERROR_SUCCESS) return walked;
  QORPosixFd parent(parentRaw);
  int targetRaw = -1;
  const uint32_t opened = OpenChild(parent.get(), parts.back(), &targetRaw);
  if (opened != ERROR_SUCCESS) return opened;
  QORPosixFd target(targetRaw);
  if (!tree && !ListEntries(target.get(), QORRegistryName::kKeyPrefix).empty()) {
    return ERROR_ACCESS_DENIED;
  }
  const std::string file = QORRegistryName::FileName(QORRegistryName::kKeyPrefix, parts.back());
  const std::string doomed = TempName(kDeleteTag);
  if (::renameat(parent.get(), file.c_str(), parent.get(), doomed.c_str()) != 0) {
    return ErrorFromErrno(errno);
  }
  target.reset(-1);
  if (RemoveTreeAt(parent.get(), doomed)) return ERROR_SUCCESS;
  // Part of it is left: say so, and put the rest back under its name so that the caller can see
  // it and try again (unless a new key of that name was made meanwhile).
  const int error = errno;
  RenameNoReplace(parent.get(), doomed, file);
  return error == EMFILE || error == ENFILE || error == ENOMEM ? ErrorFromErrno(error)
                                                               : ERROR_CANTWRITE;
}

// The subkeys of a key, unsorted. Only directories whose spelling matches their file name are keys
// of this store.
std::vector<std::wstring> ListSubKeys(int fd) {
  std::vector<std::wstring> names;
  for (const std::string& file : ListEntries(fd, QORRegistryName::kKeyPrefix)) {
    QORPosixFd child(::openat(fd, file.c_str(), QORStateTree::kDirectoryFlags));
    if (child.get() < 0) continue;
    std::wstring spelling = ReadSpelling(child.get());
    if (spelling.empty() ||
        QORRegistryName::FileName(QORRegistryName::kKeyPrefix, spelling) != file) {
      continue;
    }
    names.push_back(std::move(spelling));
  }
  return names;
}

// Only a value file under the name of the value it holds belongs to the store.
bool IsValueFileOf(const std::string& file, const std::wstring& name) {
  return QORRegistryName::FileName(QORRegistryName::kValuePrefix, name) == file;
}

}  // namespace

QORRegistryKey::QORRegistryKey() : snapshot_(std::make_unique<Snapshot>()) {}

QORRegistryKey::QORRegistryKey(intptr_t handle, uint32_t rights)
    : handle_(handle), rights_(rights), snapshot_(std::make_unique<Snapshot>()) {}

QORRegistryKey::~QORRegistryKey() {
  Close();
}

QORRegistryKey::QORRegistryKey(QORRegistryKey&& other) noexcept
    : handle_(other.handle_), rights_(other.rights_), snapshot_(std::move(other.snapshot_)) {
  other.handle_ = -1;
  other.rights_ = 0;
  other.snapshot_ = std::make_unique<Snapshot>();
}

QORRegistryKey& QORRegistryKey::operator=(QORRegistryKey&& other) noexcept {
  if (this != &other) {
    Close();
    handle_ = other.handle_;
    rights_ = other.rights_;
    std::swap(snapshot_, other.snapshot_);
    other.handle_ = -1;
    other.rights_ = 0;
  }
  return *this;
}

void QORRegistryKey::Close() {
  if (handle_ >= 0) ::close(static_cast<int>(handle_));
  handle_ = -1;
  rights_ = 0;
}

uint32_t QORRegistryKey::OpenHive(QORRegistryHive hive, QORRegistryKey& out) {
  const int fd = QORStateTree::OpenDirectory(
      hive == QORRegistryHive::kLocalMachine ? "registry/HKLM" : "registry/HKCR", true);
  if (fd < 0) {
    // A link or a file in place of the hive's folders is a damaged store, not a missing key.
    return errno == ELOOP || errno == ENOTDIR ? ERROR_BADDB : ErrorFromErrno(errno);
  }
  out = QORRegistryKey(fd, KEY_ALL_ACCESS);
  return ERROR_SUCCESS;
}

uint32_t QORRegistryKey::Open(QORRegistryHive hive, std::wstring_view path, uint32_t rights,
                              QORRegistryKey& out) {
  QORRegistryKey root;
  const uint32_t result = OpenHive(hive, root);
  return result != ERROR_SUCCESS ? result : root.OpenSubKey(path, rights, out);
}

uint32_t QORRegistryKey::Create(QORRegistryHive hive, std::wstring_view path, uint32_t rights,
                                QORRegistryKey& out, bool* created) {
  QORRegistryKey root;
  const uint32_t result = OpenHive(hive, root);
  return result != ERROR_SUCCESS ? result : root.CreateSubKey(path, rights, out, created);
}

uint32_t QORRegistryKey::Delete(QORRegistryHive hive, std::wstring_view path) {
  QORRegistryKey root;
  const uint32_t result = OpenHive(hive, root);
  return result != ERROR_SUCCESS ? result : root.DeleteSubKey(path);
}

uint32_t QORRegistryKey::DeleteTree(QORRegistryHive hive, std::wstring_view path) {
  QORRegistryKey root;
  const uint32_t result = OpenHive(hive, root);
  return result != ERROR_SUCCESS ? result : root.DeleteSubTree(path);
}

uint32_t QORRegistryKey::Duplicate(QORRegistryKey& out) const {
  if (!IsOpen()) return ERROR_INVALID_HANDLE;
  const int fd = ::fcntl(static_cast<int>(handle_), F_DUPFD_CLOEXEC, 0);
  if (fd < 0) return ErrorFromErrno(errno);
  out = QORRegistryKey(fd, rights_);
  return ERROR_SUCCESS;
}

uint32_t QORRegistryKey::OpenSubKey(std::wstring_view path, uint32_t rights,
                                    QORRegistryKey& out) const {
  if (!IsOpen()) return ERROR_INVALID_HANDLE;
  std::vector<std::wstring_view> parts;
  const uint32_t split = SplitPath(path, parts);
  if (split != ERROR_SUCCESS) return split;
  int fd = -1;
  const uint32_t result = Walk(static_cast<int>(handle_), parts, parts.size(), false, &fd, nullptr);
  if (result != ERROR_SUCCESS) return result;
  rights = NormaliseRights(rights);
  if ((rights & (KEY_SET_VALUE | KEY_CREATE_SUB_KEY)) != 0 && ::faccessat(fd, ".", W_OK, 0) != 0) {
    ::close(fd);
    return ERROR_ACCESS_DENIED;
  }
  out = QORRegistryKey(fd, rights);
  return ERROR_SUCCESS;
}

uint32_t QORRegistryKey::CreateSubKey(std::wstring_view path, uint32_t rights, QORRegistryKey& out,
                                      bool* created) const {
  if (!IsOpen()) return ERROR_INVALID_HANDLE;
  std::vector<std::wstring_view> parts;
  const uint32_t split = SplitPath(path, parts);
  if (split != ERROR_SUCCESS) return split;
  if (!parts.empty() && (rights_ & KEY_CREATE_SUB_KEY) == 0) return ERROR_ACCESS_DENIED;
  int fd = -1;
  bool wasCreated = false;
  const uint32_t result =
      Walk(static_cast<int>(handle_), parts, parts.size(), true, &fd, &wasCreated);
  if (result != ERROR_SUCCESS) return result;
  if (created != nullptr) *created = wasCreated;
  out = QORRegistryKey(fd, NormaliseRights(rights));
  return ERROR_SUCCESS;
}

uint32_t QORRegistryKey::DeleteSubKey(std::wstring_view path) const {
  if (!IsOpen()) return ERROR_INVALID_HANDLE;
  return DeleteAt(static_cast<int>(handle_), path, false);
}

uint32_t QORRegistryKey::DeleteSubTree(std::wstring_view path) const {
  if (!IsOpen()) return ERROR_INVALID_HANDLE;
  return DeleteAt(static_cast<int>(handle_), path, true);
}

uint32_t QORRegistryKey::EnumSubKey(uint32_t index, std::wstring& name) const {
  if (!IsOpen()) return ERROR_INVALID_HANDLE;
  if ((rights_ & KEY_ENUMERATE_SUB_KEYS) == 0) return ERROR_ACCESS_DENIED;
  const int fd = static_cast<int>(handle_);
  std::lock_guard<std::mutex> lock(snapshot_->mutex);
  if (index == 0) {
    snapshot_->subKeys = ListSubKeys(fd);
    std::sort(snapshot_->subKeys.begin(), snapshot_->subKeys.end(),
              [](const std::wstring& a, const std::wstring& b) {
                return QORRegistryName::Fold(a) < QORRegistryName::Fold(b);
              });
  }
  if (index >= snapshot_->subKeys.size()) return ERROR_NO_MORE_ITEMS;
  name = snapshot_->subKeys[index];
  return ERROR_SUCCESS;
}

uint32_t QORRegistryKey::QueryInfo(uint32_t* subKeyCount, uint32_t* valueCount) const {
  if (!IsOpen()) return ERROR_INVALID_HANDLE;
  const int fd = static_cast<int>(handle_);
  if (IsDeleted(fd)) return ERROR_KEY_DELETED;
  // The counts are of what the enumerations would list, foreign entries left out.
  if (subKeyCount != nullptr) *subKeyCount = static_cast<uint32_t>(ListSubKeys(fd).size());
  if (valueCount != nullptr) {
    uint32_t count = 0;
    std::wstring name;
    for (const std::string& file : ListEntries(fd, QORRegistryName::kValuePrefix)) {
      if (ReadValueName(fd, file, &name) == ERROR_SUCCESS && IsValueFileOf(file, name)) ++count;
    }
    *valueCount = count;
  }
  return ERROR_SUCCESS;
}

uint32_t QORRegistryKey::QueryValue(std::wstring_view name, uint32_t* type, void* data,
                                    uint32_t* size) const {
  if (data != nullptr && size == nullptr) return ERROR_INVALID_PARAMETER;
  std::vector<uint8_t> bytes;
  uint32_t storedType = REG_NONE;
  const uint32_t result = QueryValue(name, &storedType, &bytes);
  if (result != ERROR_SUCCESS) return result;
  if (type != nullptr) *type = storedType;
  const uint32_t needed = static_cast<uint32_t>(bytes.size());
  if (data != nullptr && *size < needed) {
    *size = needed;
    return ERROR_MORE_DATA;
  }
  if (data != nullptr && needed != 0) std::memcpy(data, bytes.data(), needed);
  if (size != nullptr) *size = needed;
  return ERROR_SUCCESS;
}

uint32_t QORRegistryKey::QueryValue(std::wstring_view name, uint32_t* type,
                                    std::vector<uint8_t>* data) const {
  if (!IsOpen()) return ERROR_INVALID_HANDLE;
  if ((rights_ & KEY_QUERY_VALUE) == 0) return ERROR_ACCESS_DENIED;
  if (!ValidName(name, kQORRegistryMaxValueNameChars, true)) return ERROR_FILE_NOT_FOUND;
  QORRegistryValue value;
  const uint32_t result = ReadNamedValue(static_cast<int>(handle_), name, &value);
  if (result != ERROR_SUCCESS) return result;
  if (type != nullptr) *type = value.type;
  if (data != nullptr) *data = std::move(value.data);
  return ERROR_SUCCESS;
}

uint32_t QORRegistryKey::SetValue(std::wstring_view name, uint32_t type, const void* data,
                                  uint32_t size) const {
  if (!IsOpen()) return ERROR_INVALID_HANDLE;
  if ((rights_ & KEY_SET_VALUE) == 0) return ERROR_ACCESS_DENIED;
  if (!ValidName(name, kQORRegistryMaxValueNameChars, true)) return ERROR_INVALID_PARAMETER;
  if ((data == nullptr && size != 0) || (type == REG_DWORD && size != 4) ||
      (type == REG_QWORD && size != 8) || size > QORRegistryValueFile::kMaxFileBytes / 2) {
    return ERROR_INVALID_PARAMETER;
  }
  const int fd = static_cast<int>(handle_);
  QORRegistryValue value;
  // Rewriting a value keeps the spelling it was created with.
  if (ReadNamedValue(fd, name, &value) != ERROR_SUCCESS) value.name = std::wstring(name);
  value.type = type;
  const uint8_t* bytes = static_cast<const uint8_t*>(data);
  value.data.assign(bytes, bytes + size);
  RemoveStaleTemporaries(fd);
  return WriteFileAtomically(fd, QORRegistryName::FileName(QORRegistryName::kValuePrefix, name),
                             QORRegistryValueFile::Serialize(value));
}

uint32_t QORRegistryKey::DeleteValue(std::wstring_view name) const {
  if (!IsOpen()) return ERROR_INVALID_HANDLE;
  if ((rights_ & KEY_SET_VALUE) == 0) return ERROR_ACCESS_DENIED;
  if (!ValidName(name, kQORRegistryMaxValueNameChars, true)) return ERROR_FILE_NOT_FOUND;
  const int fd = static_cast<int>(handle_);
  const std::string file = QORRegistryName::FileName(QORRegistryName::kValuePrefix, name);
  if (::unlinkat(fd, file.c_str(), 0) != 0) {
    const int error = errno;
    if (error == ENOENT && IsDeleted(fd)) return ERROR_KEY_DELETED;
    return ErrorFromErrno(error);
  }
  return ERROR_SUCCESS;
}

uint32_t QORRegistryKey::EnumValue(uint32_t index, std::wstring* name, uint32_t* type,
                                   std::vector<uint8_t>* data) const {
  if (!IsOpen()) return ERROR_INVALID_HANDLE;
  if ((rights_ & KEY_QUERY_VALUE) == 0) return ERROR_ACCESS_DENIED;
  const int fd = static_cast<int>(handle_);
  std::lock_guard<std::mutex> lock(snapshot_->mutex);
  if (index == 0) {
    snapshot_->values.clear();
    for (const std::string& file : ListEntries(fd, QORRegistryName::kValuePrefix)) {
      QORRegistryValue value;
      // Unreadable or foreign files are left out rather than ending the enumeration.
      if (ReadValueFile(fd, file, &value) != ERROR_SUCCESS || !IsValueFileOf(file, value.name)) {
        continue;
      }
      snapshot_->values.push_back(std::move(value));
    }
    std::sort(snapshot_->values.begin(), snapshot_->values.end(),
              [](const QORRegistryValue& a, const QORRegistryValue& b) {
                return QORRegistryName::Fold(a.name) < QORRegistryName::Fold(b.name);
              });
  }
  if (index >= snapshot_->values.size()) return ERROR_NO_MORE_ITEMS;
  const QORRegistryValue& value = snapshot_->values[index];
  if (name != nullptr) *name = value.name;
  if (type != nullptr) *type = value.type;
  if (data != nullptr) *data = value.data;
  return ERROR_SUCCESS;
}

uint32_t QORRegistryKey::Watch(uint32_t filter, std::unique_ptr<QORRegistryWatch>* out,
                               bool watchSubtree) const {
  if (!IsOpen()) return ERROR_INVALID_HANDLE;
  if ((rights_ & KEY_NOTIFY) == 0) return ERROR_ACCESS_DENIED;
  constexpr uint32_t kKnown = REG_NOTIFY_CHANGE_NAME | REG_NOTIFY_CHANGE_ATTRIBUTES |
                              REG_NOTIFY_CHANGE_LAST_SET | REG_NOTIFY_CHANGE_SECURITY;
  if (out == nullptr || filter == 0 || (filter & ~kKnown) != 0) return ERROR_INVALID_PARAMETER;
  if (IsDeleted(static_cast<int>(handle_))) return ERROR_KEY_DELETED;
  return QORRegistryWatch::Create(handle_, filter, watchSubtree, out);
}
