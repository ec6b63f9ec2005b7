#pragma once

#include <optional>
#include <string>

// The process's environment variables, which the programs it starts inherit. Names and values
// are UTF-8.
class QOREnvironment {
 public:
  static std::optional<std::string> Get(const std::string& name);
  // An empty value removes the variable, as Windows cannot hold one. False when the name is not
  // one a variable can have (empty, or holding '=').
  static bool Set(const std::string& name, const std::string& value);
  static bool Unset(const std::string& name);
};
