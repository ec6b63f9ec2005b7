#include "platform/QORSystemInfo.h"

#include <pwd.h>
#include <unistd.h>

#include <cstdlib>
#include <mutex>
#include <optional>

namespace {

std::mutex versionLock;
std::optional<QOROSVersion> testVersion;

// Empty variables count as unset, as the XDG rules say; relative ones are ignored there too.
const char* NonEmptyEnv(const char* name) {
  const char* value = std::getenv(name);
  return (value != nullptr && *value != '\0') ? value : nullptr;
}

std::filesystem::path HomeDirectory() {
  if (const char* home = NonEmptyEnv("HOME")) return home;
  if (const passwd* entry = ::getpwuid(::geteuid()); entry != nullptr && entry->pw_dir != nullptr) {
    return entry->pw_dir;
  }
  return "/";
}

}  // namespace

QOROSVersion QORSystemInfo::GetOSVersion() {
  std::lock_guard<std::mutex> guard(versionLock);
  return testVersion.value_or(QOROSVersion{});
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
  if (const char* root = NonEmptyEnv("QOR_ROOT")) {
    // A relative root would move with the working directory; anchor it once here.
    std::error_code ignored;
    std::filesystem::path path = std::filesystem::absolute(root, ignored);
    return path.empty() ? std::filesystem::path(root) : path;
  }
  if (::geteuid() == 0) return "/var/lib/qorapo";
  if (const char* state = NonEmptyEnv("XDG_STATE_HOME"); state != nullptr && state[0] == '/') {
    return std::filesystem::path(state) / "qorapo";
  }
  return HomeDirectory() / ".local" / "state" / "qorapo";
}
