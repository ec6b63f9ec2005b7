#include "TempStateRoot.h"

#include <stdlib.h>

#include <filesystem>
#include <random>
#include <stdexcept>

#ifdef _WIN32
#include "platform/win32/QORWin32RegistryHive.h"
#else
#include <sys/stat.h>
#endif

namespace qortest {

namespace {

#ifdef _WIN32
// No mkdtemp here: a random name under the temporary folder, made only if it is new.
std::string MakeTempFolder() {
  std::random_device random;
  const std::filesystem::path base = std::filesystem::temp_directory_path();
  for (int attempt = 0; attempt < 100; ++attempt) {
    const std::filesystem::path path = base / ("qor-test-" + std::to_string(random()));
    std::error_code error;
    if (std::filesystem::create_directory(path, error)) return path.string();
  }
  throw std::runtime_error("no temporary folder could be made");
}

void SetRoot(const std::string& value) {
  ::_putenv_s("QOR_ROOT", value.c_str());
}

void ClearRoot() {
  // An empty value removes the variable.
  ::_putenv_s("QOR_ROOT", "");
}
#else
std::string MakeTempFolder() {
  const char* tmp = std::getenv("TMPDIR");
  std::string pattern = std::string(tmp != nullptr && *tmp ? tmp : "/tmp") + "/qor-test-XXXXXX";
  if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  ::chmod(pattern.c_str(), 0770);
  return pattern;
}

void SetRoot(const std::string& value) {
  ::setenv("QOR_ROOT", value.c_str(), 1);
}

void ClearRoot() {
  ::unsetenv("QOR_ROOT");
}
#endif

}  // namespace

TempStateRoot::TempStateRoot() {
  path_ = MakeTempFolder();
  if (const char* old = std::getenv("QOR_ROOT")) previous_ = old;
  SetRoot(path_);
}

TempStateRoot::~TempStateRoot() {
#ifdef _WIN32
  // The root's registry keys are in the user's hive, not in its folder.
  QORWin32RegistryHive::DeleteRoot();
#endif
  if (previous_) {
    SetRoot(*previous_);
  } else {
    ClearRoot();
  }
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}

}  // namespace qortest
