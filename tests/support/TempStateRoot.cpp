#include "TempStateRoot.h"

#include <stdlib.h>
#include <sys/stat.h>

#include <filesystem>
#include <stdexcept>

namespace qortest {

TempStateRoot::TempStateRoot() {
  const char* tmp = std::getenv("TMPDIR");
  std::string pattern = std::string(tmp != nullptr && *tmp ? tmp : "/tmp") + "/qor-test-XXXXXX";
  if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  ::chmod(pattern.c_str(), 0770);
  path_ = pattern;
  if (const char* old = std::getenv("QOR_ROOT")) previous_ = old;
  ::setenv("QOR_ROOT", path_.c_str(), 1);
}

TempStateRoot::~TempStateRoot() {
  if (previous_) ::setenv("QOR_ROOT", previous_->c_str(), 1);
  if (!previous_) ::unsetenv("QOR_ROOT");
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}

}  // namespace qortest
