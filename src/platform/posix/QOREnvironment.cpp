#include "platform/QOREnvironment.h"

#include <stdlib.h>

namespace {

bool Nameable(const std::string& name) {
  return !name.empty() && name.find('=') == std::string::npos &&
         name.find('\0') == std::string::npos;
}

}  // namespace

std::optional<std::string> QOREnvironment::Get(const std::string& name) {
  if (!Nameable(name)) return std::nullopt;
  const char* value = ::getenv(name.c_str());
  if (value == nullptr) return std::nullopt;
  return std::string(value);
}

bool QOREnvironment::Set(const std::string& name, const std::string& value) {
  if (value.empty()) return Unset(name);
  return Nameable(name) && value.find('\0') == std::string::npos &&
         ::setenv(name.c_str(), value.c_str(), 1) == 0;
}

bool QOREnvironment::Unset(const std::string& name) {
  return Nameable(name) && ::unsetenv(name.c_str()) == 0;
}
