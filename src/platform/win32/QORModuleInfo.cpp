#include "platform/QORModuleInfo.h"

#include <string>

#include "platform/win32/QORWin32.h"

namespace {

// An address inside the module that this file is linked into.
const char ownAnchor = 0;

std::wstring ModulePath(HMODULE module) {
  std::wstring path(MAX_PATH, L'\0');
  for (;;) {
    const DWORD length = ::GetModuleFileNameW(module, path.data(), static_cast<DWORD>(path.size()));
    if (length == 0) return {};
    if (length < path.size()) {
      path.resize(length);
      return path;
    }
    // Cut short: try again with more room, up to the longest path the system has.
    if (path.size() >= 32768) return {};
    path.resize(path.size() * 2);
  }
}

}  // namespace

std::wstring QORModuleInfo::GetOwnPath() {
  static const std::wstring path = GetPathOf(&ownAnchor);
  return path;
}

std::wstring QORModuleInfo::GetPathOf(const void* address) {
  if (address == nullptr) return {};
  HMODULE module = nullptr;
  if (!::GetModuleHandleExW(
          GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
          static_cast<const wchar_t*>(address), &module)) {
    return {};
  }
  return ModulePath(module);
}

std::wstring QORModuleInfo::FindLoadedPath(const std::wstring& fileName) {
  if (fileName.empty() || fileName.find_first_of(L"/\\") != std::wstring::npos) return {};
  HMODULE module = nullptr;
  if (!::GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT, fileName.c_str(),
                            &module)) {
    return {};
  }
  return ModulePath(module);
}

std::wstring QORModuleInfo::GetFolder(const std::wstring& path) {
  const size_t separator = path.find_last_of(L"\\/");
  return separator == std::wstring::npos ? std::wstring() : path.substr(0, separator + 1);
}

bool QORModuleInfo::IsWow64Process() {
  BOOL wow64 = FALSE;
  return ::IsWow64Process(::GetCurrentProcess(), &wow64) && wow64;
}
