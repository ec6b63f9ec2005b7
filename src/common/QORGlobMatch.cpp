#include "common/QORGlobMatch.h"

#include <cctype>

bool QORGlobMatch::Matches(std::string_view pattern, std::string_view text) {
  size_t p = 0;
  size_t t = 0;
  // Where the last '*' left off: on a mismatch it takes one more character and the rest is tried
  // again, which is enough because an earlier '*' could only take fewer.
  size_t starPattern = std::string_view::npos;
  size_t starText = 0;
  while (t < text.size()) {
    if (p < pattern.size() && pattern[p] == '*') {
      starPattern = ++p;
      starText = t;
      continue;
    }
    size_t next = p;
    if (p < pattern.size() && MatchesOne(pattern, &next, static_cast<unsigned char>(text[t]))) {
      p = next;
      ++t;
      continue;
    }
    if (starPattern == std::string_view::npos) return false;
    p = starPattern;
    t = ++starText;
  }
  while (p < pattern.size() && pattern[p] == '*') ++p;
  return p == pattern.size();
}

bool QORGlobMatch::MatchesOne(std::string_view pattern, size_t* at, unsigned char c) {
  const char element = pattern[*at];
  ++*at;
  switch (element) {
    case '?':
      return true;
    case '[': {
      size_t end = *at;
      if (MatchesSet(pattern, &end, c)) {
        *at = end;
        return true;
      }
      // A set that does not close is a plain '['.
      if (end == std::string_view::npos) return c == '[';
      *at = end;
      return false;
    }
    case '\\':
      // A trailing backslash matches nothing, as fnmatch has it.
      if (*at >= pattern.size()) return false;
      return static_cast<unsigned char>(pattern[(*at)++]) == c;
    default:
      return static_cast<unsigned char>(element) == c;
  }
}

// *at is just past the '['; it ends just past the ']', or npos when there is none.
bool QORGlobMatch::MatchesSet(std::string_view pattern, size_t* at, unsigned char c) {
  size_t i = *at;
  const bool negated = i < pattern.size() && (pattern[i] == '!' || pattern[i] == '^');
  if (negated) ++i;
  bool matched = false;
  for (bool first = true;; first = false) {
    if (i >= pattern.size()) {
      *at = std::string_view::npos;
      return false;
    }
    if (pattern[i] == ']' && !first) break;
    if (pattern[i] == '[' && i + 1 < pattern.size() && pattern[i + 1] == ':') {
      const size_t close = pattern.find(":]", i + 2);
      bool known = false;
      if (close != std::string_view::npos) {
        const bool in = InClass(pattern.substr(i + 2, close - i - 2), c, &known);
        if (known) {
          matched = matched || in;
          i = close + 2;
          continue;
        }
      }
    }
    const auto take = [&](size_t* where) {
      if (pattern[*where] == '\\' && *where + 1 < pattern.size()) ++*where;
      return static_cast<unsigned char>(pattern[(*where)++]);
    };
    const unsigned char low = take(&i);
    if (i + 1 < pattern.size() && pattern[i] == '-' && pattern[i + 1] != ']') {
      ++i;
      const unsigned char high = take(&i);
      matched = matched || (low <= c && c <= high);
    } else {
      matched = matched || low == c;
    }
  }
  *at = i + 1;
  return matched != negated;
}

bool QORGlobMatch::InClass(std::string_view name, unsigned char c, bool* known) {
  // Past ASCII no character is in a class, as in the "C" locale, whatever the process's is.
  const bool ascii = c < 0x80;
  *known = true;
  if (name == "alpha") return ascii && std::isalpha(c) != 0;
  if (name == "digit") return ascii && std::isdigit(c) != 0;
  if (name == "alnum") return ascii && std::isalnum(c) != 0;
  if (name == "upper") return ascii && std::isupper(c) != 0;
  if (name == "lower") return ascii && std::islower(c) != 0;
  if (name == "space") return ascii && std::isspace(c) != 0;
  if (name == "blank") return c == ' ' || c == '\t';
  if (name == "punct") return ascii && std::ispunct(c) != 0;
  if (name == "xdigit") return ascii && std::isxdigit(c) != 0;
  if (name == "cntrl") return ascii && std::iscntrl(c) != 0;
  if (name == "print") return ascii && std::isprint(c) != 0;
  if (name == "graph") return ascii && std::isgraph(c) != 0;
  *known = false;
  return false;
}
