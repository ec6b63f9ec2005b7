#include "platform/win32/QORWin32ObjectName.h"

#include <atomic>
#include <cstdint>
#include <cwctype>
#include <string_view>

#include "common/QORTextConvert.h"
#include "common/QORTrace.h"

namespace {

std::atomic<bool> refuseGlobal{false};
std::atomic<bool> fallbackTraced{false};

constexpr std::wstring_view kGlobal = L"Global\\";
constexpr std::wstring_view kLocal = L"Local\\";

bool StartsWith(const std::wstring& name, std::wstring_view prefix) {
  if (name.size() < prefix.size()) return false;
  for (size_t i = 0; i < prefix.size(); ++i) {
    if (std::towlower(name[i]) != std::towlower(prefix[i])) return false;
  }
  return true;
}

bool IsGlobal(const std::wstring& name) {
  return StartsWith(name, kGlobal);
}

std::wstring RootText() {
  wchar_t small[260];
  DWORD length = GetEnvironmentVariableW(L"QOR_ROOT", small, 260);
  if (length == 0) return {};
  if (length < 260) return std::wstring(small, length);
  std::wstring text(length, L'\0');  // length counts the terminator here
  length = GetEnvironmentVariableW(L"QOR_ROOT", text.data(), length);
  text.resize(length);
  return text;
}

HANDLE Refused() {
  SetLastError(ERROR_ACCESS_DENIED);
  return nullptr;
}

}  // namespace

void QORWin32RefuseGlobalForTesting(bool refuse) {
  if (refuse) fallbackTraced.store(false);
  refuseGlobal.store(refuse);
}

std::wstring QORWin32ObjectName::RootTag() {
  const std::wstring root = RootText();
  if (root.empty()) return {};
  uint64_t hash = 14695981039346656037ull;
  for (wchar_t unit : root) {
    for (int shift : {0, 8}) {
      hash ^= (static_cast<uint16_t>(unit) >> shift) & 0xFF;
      hash *= 1099511628211ull;
    }
  }
  static constexpr wchar_t kDigits[] = L"0123456789abcdef";
  std::wstring tag(16, L'0');
  for (int i = 15; i >= 0; --i, hash >>= 4) tag[i] = kDigits[hash & 0xF];
  return tag;
}

std::wstring QORWin32ObjectName::ForPipe(const std::wstring& name) {
  const std::wstring tag = RootTag();
  return tag.empty() ? name : name + L"." + tag;
}

std::wstring QORWin32ObjectName::ForObject(const std::wstring& name) {
  // Windows finds the namespace in any case, wine only as spelled here.
  std::wstring_view prefix = StartsWith(name, kGlobal)  ? kGlobal
                             : StartsWith(name, kLocal) ? kLocal
                                                        : std::wstring_view();
  std::wstring escaped = std::wstring(prefix) + name.substr(prefix.size());
  for (size_t i = prefix.size(); i < escaped.size(); ++i) {
    if (escaped[i] == L'\\') escaped[i] = L'\u29F5';
  }
  return ForPipe(escaped);
}

std::wstring QORWin32ObjectName::LocalFallback(const std::wstring& resolved) {
  if (!IsGlobal(resolved)) return {};
  return std::wstring(kLocal) + resolved.substr(kGlobal.size());
}

HANDLE QORWin32ObjectName::Create(const std::wstring& name, const Maker& create, const Maker& open,
                                  bool* existed, DWORD* error) {
  const std::wstring resolved = ForObject(name);
  const bool global = IsGlobal(resolved);
  HANDLE handle = global && refuseGlobal.load() ? Refused() : create(resolved.c_str());
  DWORD result = GetLastError();
  bool found = handle != nullptr && result == ERROR_ALREADY_EXISTS;
  if (handle == nullptr && global && result == ERROR_ACCESS_DENIED) {
    // Someone privileged may have made it; only when nobody did is the session's name taken.
    handle = open(resolved.c_str());
    result = GetLastError();
    found = handle != nullptr;
    if (handle == nullptr && result == ERROR_FILE_NOT_FOUND) {
      const std::wstring local = LocalFallback(resolved);
      handle = create(local.c_str());
      result = GetLastError();
      found = handle != nullptr && result == ERROR_ALREADY_EXISTS;
      if (handle != nullptr && !fallbackTraced.exchange(true)) {
        QORTraceW({"QORWin32ObjectName", __LINE__, "QORWin32ObjectName::Create"},
                  L"creating %ls was refused; using the session's %ls (traced once)\n",
                  resolved.c_str(), local.c_str());
      }
    }
  }
  if (existed != nullptr) *existed = found;
  *error = handle != nullptr ? ERROR_SUCCESS : result;
  return handle;
}

HANDLE QORWin32ObjectName::Open(const std::wstring& name, const Maker& open, DWORD* error) {
  const std::wstring resolved = ForObject(name);
  HANDLE handle = open(resolved.c_str());
  DWORD result = GetLastError();
  const std::wstring local = LocalFallback(resolved);
  if (handle == nullptr && result == ERROR_FILE_NOT_FOUND && !local.empty()) {
    handle = open(local.c_str());
    result = GetLastError();
  }
  *error = handle != nullptr ? ERROR_SUCCESS : result;
  return handle;
}

QORNamedObjectError QORWin32ObjectName::ErrorFor(DWORD error) {
  switch (error) {
    case ERROR_SUCCESS:
      return QORNamedObjectError::kNone;
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
      return QORNamedObjectError::kNotFound;
    case ERROR_ACCESS_DENIED:
      return QORNamedObjectError::kAccessDenied;
    case ERROR_INVALID_HANDLE:
      return QORNamedObjectError::kInTheWay;
    default:
      return QORNamedObjectError::kFailed;
  }
}

bool QORWin32ObjectName::InTheWay(const std::wstring& name, const Maker& open, std::string* what,
                                  std::string* path) {
  // Opening a kernel object never blocks; a handle of ours is let go at once.
  const std::wstring resolved = ForObject(name);
  const std::wstring local = LocalFallback(resolved);
  for (const std::wstring& candidate : {resolved, local}) {
    if (candidate.empty()) continue;
    HANDLE handle = open(candidate.c_str());
    const DWORD error = GetLastError();
    if (handle != nullptr) {
      CloseHandle(handle);
      return false;
    }
    if (error == ERROR_INVALID_HANDLE) {
      if (what != nullptr) *what = "an object of another type";
      if (path != nullptr) *path = QORWideToUtf8(candidate);
      return true;
    }
    if (error != ERROR_FILE_NOT_FOUND) return false;
  }
  return false;
}
