#include "platform/QOREnvironment.h"

#include <stdlib.h>

#include "common/QORTextConvert.h"

namespace {

bool Nameable(const std::string& name) {
  return !name.empty() && name.find('=') == std::string::npos &&
         name.find('\0') == std::string::npos;
}

}  // namespace

std::optional<std::string> QOREnvironment::Get(const std::string& name) {
  if (!Nameable(name)) return std::nullopt;
  const wchar_t* value = ::_wgetenv(QORUtf8ToWide(name).c_str());
  if (value == nullptr) return std::nullopt;
  return QORWideToUtf8(value);
}

bool QOREnvironment::Set(const std::string& name, const std::string& value) {
  if (value.empty()) return Unset(name);
  // The C runtime's copy, which getenv reads, and the system's, which child processes inherit.
  return Nameable(name) && value.find('\0') == std::string::npos &&
         ::_wputenv_s(QORUtf8ToWide(name).c_str(), QORUtf8ToWide(value).c_str()) == 0;
}

bool QOREnvironment::Unset(const std::string& name) {
  return Nameable(name) && ::_wputenv_s(QORUtf8ToWide(name).c_str(), L"") == 0;
}
