#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

// Text crosses three encodings: UTF-8 for 8-bit text, wchar_t in memory (UTF-32 on Linux, UTF-16
// on Windows), and UTF-16LE in stored binary forms and shared memory. Conversions never use the
// process locale. Invalid input (broken UTF-8, unpaired surrogates, code points past U+10FFFF, an
// odd trailing byte) becomes U+FFFD, one per maximal invalid subpart; no conversion reads outside
// its input.

std::wstring QORUtf8ToWide(std::string_view text);
std::string QORWideToUtf8(std::wstring_view text);

// Number of UTF-16 code units the wide text needs (invalid code points count as one unit).
size_t QORUtf16Length(std::wstring_view text);
// Appends the UTF-16LE bytes of text, without a terminator.
void QORAppendUtf16LE(std::wstring_view text, std::vector<uint8_t>& out);
std::vector<uint8_t> QORWideToUtf16LE(std::wstring_view text);
std::wstring QORUtf16LEToWide(const uint8_t* bytes, size_t byteCount);
