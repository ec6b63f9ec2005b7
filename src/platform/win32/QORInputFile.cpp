#include "platform/QORInputFile.h"

#include <fcntl.h>
#include <io.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <mutex>

#include "platform/win32/QORWin32.h"
#include "platform/win32/QORWin32ErrorText.h"

namespace {

std::atomic<bool> gInterrupted{false};
std::mutex gLock;
// The thread reading the open input, whose blocked read an interrupt cancels; under gLock.
HANDLE gReader = nullptr;

HANDLE HandleOf(int descriptor) {
  return reinterpret_cast<HANDLE>(::_get_osfhandle(descriptor));
}

}  // namespace

bool QORInputFile::Open(const std::filesystem::path& path, std::string* reason) {
  Close();
  if (gInterrupted.load()) {
    *reason = "interrupted";
    return false;
  }
  const HANDLE handle = ::CreateFileW(path.c_str(), GENERIC_READ,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                      nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    *reason = QORWin32ErrorText::Of(::GetLastError());
    return false;
  }
  const int descriptor =
      ::_open_osfhandle(reinterpret_cast<intptr_t>(handle), _O_RDONLY | _O_BINARY);
  if (descriptor < 0) {
    ::CloseHandle(handle);
    *reason = "no file descriptor is free";
    return false;
  }
  return Opened(descriptor, reason);
}

bool QORInputFile::OpenStandardInput(std::string* reason) {
  Close();
  const int descriptor = ::_dup(0);
  if (descriptor < 0) {
    *reason = std::strerror(errno);
    return false;
  }
  ::_setmode(descriptor, _O_BINARY);
  return Opened(descriptor, reason);
}

bool QORInputFile::Opened(int descriptor, std::string* reason) {
  descriptor_ = descriptor;
  const HANDLE handle = HandleOf(descriptor);
  BY_HANDLE_FILE_INFORMATION info{};
  regular_ = ::GetFileType(handle) == FILE_TYPE_DISK &&
             ::GetFileInformationByHandle(handle, &info) &&
             (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
  {
    std::lock_guard<std::mutex> lock(gLock);
    if (gReader != nullptr) ::CloseHandle(gReader);
    gReader = nullptr;
    ::DuplicateHandle(::GetCurrentProcess(), ::GetCurrentThread(), ::GetCurrentProcess(), &gReader,
                      0, FALSE, DUPLICATE_SAME_ACCESS);
  }
  if (gInterrupted.load()) {
    *reason = "interrupted";
    Close();
    return false;
  }
  return true;
}

void QORInputFile::Close() {
  if (descriptor_ < 0) return;
  {
    std::lock_guard<std::mutex> lock(gLock);
    if (gReader != nullptr) ::CloseHandle(gReader);
    gReader = nullptr;
  }
  ::_close(descriptor_);
  descriptor_ = -1;
  regular_ = false;
}

bool QORInputFile::IsFile(const std::filesystem::path& path) const {
  if (descriptor_ < 0) return false;
  // Opened for no access at all, which any file allows, to ask for its identity.
  const HANDLE named =
      ::CreateFileW(path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                    nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (named == INVALID_HANDLE_VALUE) return false;
  BY_HANDLE_FILE_INFORMATION first{};
  BY_HANDLE_FILE_INFORMATION second{};
  const bool same = ::GetFileInformationByHandle(HandleOf(descriptor_), &first) &&
                    ::GetFileInformationByHandle(named, &second) &&
                    first.dwVolumeSerialNumber == second.dwVolumeSerialNumber &&
                    first.nFileIndexHigh == second.nFileIndexHigh &&
                    first.nFileIndexLow == second.nFileIndexLow;
  ::CloseHandle(named);
  return same;
}

int64_t QORInputFile::ReadAt(void* buffer, size_t size, int64_t offset) const {
  const HANDLE handle = HandleOf(descriptor_);
  // A read at an offset moves a synchronous handle's position: put it back.
  LARGE_INTEGER here{};
  if (!::SetFilePointerEx(handle, LARGE_INTEGER{}, &here, FILE_CURRENT)) return -1;
  OVERLAPPED at{};
  at.Offset = static_cast<DWORD>(offset);
  at.OffsetHigh = static_cast<DWORD>(static_cast<uint64_t>(offset) >> 32);
  DWORD got = 0;
  const bool read = ::ReadFile(handle, buffer, static_cast<DWORD>(size), &got, &at) ||
                    ::GetLastError() == ERROR_HANDLE_EOF;
  ::SetFilePointerEx(handle, here, nullptr, FILE_BEGIN);
  return read ? static_cast<int64_t>(got) : -1;
}

void QORInputFile::Interrupt() {
  gInterrupted.store(true);
  // The reading thread may be about to block rather than blocked yet, and a reader may read a
  // few times more before it looks: cancel until the input closes, for a few seconds at most.
  for (int round = 0; round < 500; ++round) {
    {
      std::lock_guard<std::mutex> lock(gLock);
      if (gReader == nullptr) return;
      ::CancelSynchronousIo(gReader);
    }
    ::Sleep(10);
  }
}

bool QORInputFile::Interrupted() {
  return gInterrupted.load();
}
