#include "platform/QORFileTime.h"

#include "common/QORPathConvert.h"
#include "platform/win32/QORWin32.h"

uint64_t QORFileTime::GetWriteTime(const std::wstring& path) {
  if (path.empty()) return 0;
  WIN32_FILE_ATTRIBUTE_DATA data{};
  if (!::GetFileAttributesExW(QORPathConvert::ToNative(path).c_str(), GetFileExInfoStandard,
                              &data)) {
    return 0;
  }
  if (data.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) return 0;
  return (static_cast<uint64_t>(data.ftLastWriteTime.dwHighDateTime) << 32) |
         data.ftLastWriteTime.dwLowDateTime;
}
