#include "platform/QORFileReader.h"

#include <algorithm>
#include <cstdint>
#include <utility>

#include "platform/win32/QORWin32.h"

namespace {

class QORWin32File {
 public:
  explicit QORWin32File(HANDLE handle) : handle_(handle) {}
  ~QORWin32File() { ::CloseHandle(handle_); }
  QORWin32File(const QORWin32File&) = delete;
  QORWin32File& operator=(const QORWin32File&) = delete;
  HANDLE get() const { return handle_; }

 private:
  HANDLE handle_;
};

}  // namespace

QORFileReader::Result QORFileReader::ReadRegularFile(const std::filesystem::path& path,
                                                     size_t maxBytes, std::string& text) {
  text.clear();
  if (path.empty()) return Result::kMissing;
  // FILE_FLAG_OPEN_REPARSE_POINT: a link is looked at, not followed. Folders need
  // FILE_FLAG_BACKUP_SEMANTICS to open at all, so they show up as kNotRegular below.
  const HANDLE handle = ::CreateFileW(
      path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
      OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    switch (::GetLastError()) {
      case ERROR_FILE_NOT_FOUND:
      case ERROR_PATH_NOT_FOUND:
      case ERROR_INVALID_NAME:
        return Result::kMissing;
      case ERROR_PIPE_BUSY:
        return Result::kNotRegular;
      default:
        return Result::kFailed;
    }
  }
  const QORWin32File file(handle);
  if (::GetFileType(file.get()) != FILE_TYPE_DISK) return Result::kNotRegular;
  BY_HANDLE_FILE_INFORMATION info{};
  if (!::GetFileInformationByHandle(file.get(), &info)) return Result::kFailed;
  if (info.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) {
    return Result::kNotRegular;
  }
  const uint64_t size = (static_cast<uint64_t>(info.nFileSizeHigh) << 32) | info.nFileSizeLow;
  if (size > maxBytes) return Result::kTooLarge;
  // The size is a first guess: the file may shrink or grow while it is read. One byte past the
  // limit is asked for, so that growth past it is seen.
  const size_t cap = maxBytes == SIZE_MAX ? maxBytes : maxBytes + 1;
  std::string bytes(static_cast<size_t>(size), '\0');
  size_t done = 0;
  while (true) {
    if (done == bytes.size()) {
      if (bytes.size() > maxBytes) return Result::kTooLarge;
      bytes.resize(std::min(cap, bytes.size() + 4096));
    }
    const DWORD ask = static_cast<DWORD>(std::min<size_t>(bytes.size() - done, 1u << 30));
    DWORD got = 0;
    if (!::ReadFile(file.get(), bytes.data() + done, ask, &got, nullptr)) return Result::kFailed;
    if (got == 0) break;
    done += got;
  }
  bytes.resize(done);
  text = std::move(bytes);
  return Result::kOk;
}
