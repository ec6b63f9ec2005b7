#include "common/QORTextConvert.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

TEST(QORTextConvert, RoundTripsAcrossAllThreeFormsAndReplacesWhatIsInvalid) {
  const std::string utf8 = "A\xC3\xA9\xE2\x82\xAC\xF0\x9F\x8E\xB5";  // A, e-acute, euro, U+1F3B5
  const std::wstring wide = QORUtf8ToWide(utf8);
  // The compiler's own encoding of the text: four code points, or five UTF-16 units on Windows.
  ASSERT_EQ(wide, L"A\u00E9\u20AC\U0001F3B5");
  ASSERT_EQ(wide.size(), sizeof(wchar_t) == 2 ? 5u : 4u);
  EXPECT_EQ(QORWideToUtf8(wide), utf8);

  const std::vector<uint8_t> utf16 = QORWideToUtf16LE(wide);
  EXPECT_EQ(utf16,
            std::vector<uint8_t>({0x41, 0x00, 0xE9, 0x00, 0xAC, 0x20, 0x3C, 0xD8, 0xB5, 0xDF}));
  EXPECT_EQ(QORUtf16Length(wide), 5u);
  EXPECT_EQ(QORUtf16LEToWide(utf16.data(), utf16.size()), wide);

  // Invalid input becomes U+FFFD, one per maximal subpart.
  const std::wstring r(1, static_cast<wchar_t>(0xFFFD));
  EXPECT_EQ(QORUtf8ToWide("\x80"), r);
  EXPECT_EQ(QORUtf8ToWide("a\xC3"), L"a" + r);                  // truncated at the end
  EXPECT_EQ(QORUtf8ToWide("\xE2\x82x"), r + L"x");              // truncated in the middle
  EXPECT_EQ(QORUtf8ToWide("\xC0\xAF"), r + r);                  // overlong
  EXPECT_EQ(QORUtf8ToWide("\xED\xA0\x80"), r + r + r);          // encoded surrogate
  EXPECT_EQ(QORUtf8ToWide("\xF4\x90\x80\x80"), r + r + r + r);  // past U+10FFFF
  EXPECT_EQ(QORUtf8ToWide(std::string("\0z", 2)), std::wstring(L"\0z", 2));

  const uint8_t lone[] = {0x3C, 0xD8, 0x41, 0x00};  // high surrogate then 'A'
  EXPECT_EQ(QORUtf16LEToWide(lone, sizeof lone), r + L"A");
  const uint8_t trailingLow[] = {0x00, 0xDC};
  EXPECT_EQ(QORUtf16LEToWide(trailingLow, sizeof trailingLow), r);
  const uint8_t odd[] = {0x41, 0x00, 0x42};
  EXPECT_EQ(QORUtf16LEToWide(odd, sizeof odd), L"A" + r);
  EXPECT_EQ(QORUtf16LEToWide(nullptr, 10), L"");

  // Unpaired surrogates where wchar_t has 16 bits; a surrogate and a value past U+10FFFF where it
  // has 32.
  const uint32_t units[2] = {sizeof(wchar_t) == 2 ? 0xDC00u : 0xD800u,
                             sizeof(wchar_t) == 2 ? 0xD800u : 0x110000u};
  const std::wstring bad = {static_cast<wchar_t>(units[0]), static_cast<wchar_t>(units[1])};
  EXPECT_EQ(QORWideToUtf8(bad), "\xEF\xBF\xBD\xEF\xBF\xBD");
  EXPECT_EQ(QORWideToUtf16LE(bad), std::vector<uint8_t>({0xFD, 0xFF, 0xFD, 0xFF}));
  EXPECT_EQ(QORUtf16Length(bad), 2u);
}

}  // namespace
