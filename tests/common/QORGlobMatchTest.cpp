#include "common/QORGlobMatch.h"

#include <gtest/gtest.h>

#include <string>

#ifndef _WIN32
#include <fnmatch.h>
#endif

namespace {

struct Case {
  const char* pattern;
  const char* text;
  bool matches;
};

// The answers are the shell's; on Linux each is also held against the system's fnmatch.
const Case kCases[] = {
    {"", "", true},
    {"", "a", false},
    {"abc", "abc", true},
    {"abc", "abd", false},
    {"abc", "ab", false},
    {"*", "", true},
    {"*", "alsa_output.usb-Focusrite/2", true},  // '/' and '.' are plain characters
    {"alsa_*", "alsa_output.pci", true},
    {"alsa_*", "bluez_output", false},
    {"*.analog-stereo", "alsa_output.pci-0000_00_1f.3.analog-stereo", true},
    {"*usb*", "alsa_output.usb-Focusrite_2i2", true},
    {"a*b*c", "aXbYbZc", true},
    {"a*b*c", "aXbYbZ", false},
    {"*a", "aaaa", true},
    {"**a*", "ba", true},
    {"?", "", false},
    {"?", "x", true},
    {"a?c", "abc", true},
    {"a?c", "ac", false},
    {".*", ".hidden", true},
    {"[abc]", "b", true},
    {"[abc]", "d", false},
    {"[a-c]x", "bx", true},
    {"[a-c]x", "dx", false},
    {"[!a-c]", "d", true},
    {"[!a-c]", "b", false},
    {"[^a-c]", "b", false},
    {"[]]", "]", true},
    {"[!]]", "]", false},
    {"[!]]", "a", true},
    {"[a-]", "-", true},
    {"[z-a]", "m", false},
    {"[[:digit:]]*", "7-speakers", true},
    {"[[:digit:]]*", "speakers", false},
    {"[[:alpha:][:digit:]]", "7", true},
    {"[![:space:]]", " ", false},
    {"[abc", "[abc", true},  // a set without its end is a plain '['
    {"[abc", "a", false},
    {"\\*", "*", true},
    {"\\*", "a", false},
    {"a\\?c", "a?c", true},
    {"a\\?c", "abc", false},
    {"[\\]]", "]", true},
    {"a\\", "a\\", false},  // a trailing backslash matches nothing
    {"a*\\", "ab\\", false},
    {"caf\xC3\xA9*", "caf\xC3\xA9 speakers", true},
    {"caf?", "caf\xC3\xA9", false},  // one byte, not one character
};

TEST(QORGlobMatch, MatchesAsTheShellDoesOnEveryCase) {
  for (const Case& c : kCases) {
    EXPECT_EQ(QORGlobMatch::Matches(c.pattern, c.text), c.matches)
        << "'" << c.pattern << "' against '" << c.text << "'";
#ifndef _WIN32
    EXPECT_EQ(fnmatch(c.pattern, c.text, 0) == 0, c.matches)
        << "fnmatch: '" << c.pattern << "' against '" << c.text << "'";
#endif
  }
}

TEST(QORGlobMatch, ALongTextAgainstManyStarsEndsAtOnce) {
  // Backtracking every star against every position would take 50^8 steps.
  const std::string text(50, 'a');
  EXPECT_FALSE(QORGlobMatch::Matches("*a*a*a*a*a*a*a*ab", text));
  EXPECT_TRUE(QORGlobMatch::Matches("*a*a*a*a*a*a*a*a", text));
}

}  // namespace
