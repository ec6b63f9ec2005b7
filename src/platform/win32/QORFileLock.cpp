#include "platform/QORFileLock.h"

#include "platform/win32/QORWin32.h"

namespace {

// One byte at the far end of the offsets, which no read or write of the file ever reaches:
// Windows' locks are mandatory for the bytes they cover.
OVERLAPPED LockedByte() {
  OVERLAPPED at{};
  at.Offset = 0xFFFFFFFE;
  at.OffsetHigh = 0x7FFFFFFF;
  return at;
}

}  // namespace

bool QORFileLock::Lock(const std::filesystem::path& path, Kind kind, bool wait) {
  Unlock();
  const HANDLE handle = ::CreateFileW(
      path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
      OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return false;
  BY_HANDLE_FILE_INFORMATION info{};
  OVERLAPPED at = LockedByte();
  const DWORD flags = (kind == Kind::kExclusive ? LOCKFILE_EXCLUSIVE_LOCK : 0) |
                      (wait ? 0 : LOCKFILE_FAIL_IMMEDIATELY);
  if (!::GetFileInformationByHandle(handle, &info) ||
      (info.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) != 0 ||
      !::LockFileEx(handle, flags, 0, 1, 0, &at)) {
    ::CloseHandle(handle);
    return false;
  }
  handle_ = reinterpret_cast<intptr_t>(handle);
  return true;
}

void QORFileLock::Unlock() {
  if (handle_ == -1) return;
  const HANDLE handle = reinterpret_cast<HANDLE>(handle_);
  OVERLAPPED at = LockedByte();
  ::UnlockFileEx(handle, 0, 1, 0, &at);
  ::CloseHandle(handle);
  handle_ = -1;
}
