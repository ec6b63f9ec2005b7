#pragma once

#include <string_view>

// Shell wildcard patterns as fnmatch reads them without flags: '*' any run of characters ('/' and
// a leading '.' included), '?' any one, "[...]" one of a set ('!' or '^' first negates it; ranges
// such as a-z; classes such as [:digit:]; a '[' without its ']' is itself), and '\' takes the next
// character as it is. Bytes compare as they are, whatever the locale, so that the same rules
// match alike on every system.
class QORGlobMatch {
 public:
  static bool Matches(std::string_view pattern, std::string_view text);

 private:
  // Whether the pattern element at *at matches c; *at moves past the element.
  static bool MatchesOne(std::string_view pattern, size_t* at, unsigned char c);
  static bool MatchesSet(std::string_view pattern, size_t* at, unsigned char c);
  static bool InClass(std::string_view name, unsigned char c, bool* known);
};
