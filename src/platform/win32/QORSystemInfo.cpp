#include "platform/QORSystemInfo.h"

#include <cstdlib>
#include <mutex>
#include <optional>
#include <system_error>

#include "platform/win32/QORWin32.h"

namespace {

std::mutex versionLock;
std::optional<QOROSVersion> testVersion;

// The version the system reports of itself, not the one a compatibility shim makes up for the
// program.
QOROSVersion SystemVersion() {
  using RtlGetVersionFunction = LONG(WINAPI*)(OSVERSIONINFOW*);
  QOROSVersion version;
  const HMODULE ntdll = ::GetModuleHandleW(L"ntdll.dll");
  if (ntdll == nullptr) return version;
  // Through the generic function type, as a looked-up export has no type of its own.
  const auto getVersion = reinterpret_cast<RtlGetVersionFunction>(
      reinterpret_cast<void (*)()>(::GetProcAddress(ntdll, "RtlGetVersion")));
  OSVERSIONINFOW info{};
  info.dwOSVersionInfoSize = sizeof(info);
  if (getVersion == nullptr || getVersion(&info) != 0) return version;
  version.major = info.dwMajorVersion;
  version.minor = info.dwMinorVersion;
  version.build = info.dwBuildNumber;
  return version;
}

}  // namespace

QOROSVersion QORSystemInfo::GetOSVersion() {
  std::lock_guard<std::mutex> guard(versionLock);
  return testVersion.has_value() ? *testVersion : SystemVersion();
}

void QORSystemInfo::SetOSVersionForTesting(const QOROSVersion* version) {
  std::lock_guard<std::mutex> guard(versionLock);
  if (version != nullptr) {
    testVersion = *version;
  } else {
    testVersion.reset();
  }
}

std::filesystem::path QORSystemInfo::GetStateRoot() {
  if (const wchar_t* root = ::_wgetenv(L"QOR_ROOT"); root != nullptr && *root != L'\0') {
    // A relative root would move with the working directory; anchor it once here.
    std::error_code ignored;
    std::filesystem::path path = std::filesystem::absolute(root, ignored);
    return path.empty() ? std::filesystem::path(root) : path;
  }
  // The machine's shared application data, where an installer puts what every user's audio
  // sees.
  if (const wchar_t* data = ::_wgetenv(L"ProgramData"); data != nullptr && *data != L'\0') {
    return std::filesystem::path(data) / L"qorapo";
  }
  return std::filesystem::path(L"C:\\ProgramData\\qorapo");
}
