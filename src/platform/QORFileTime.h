#pragma once

#include <cstdint>
#include <string>

// Times of a file in the 64-bit file-time form that stored settings carry: 100-ns units since
// 1601-01-01 UTC, the high part above the low part.
class QORFileTime {
 public:
  // The last-write time, or the creation time when the last-write time is 0; 0 when the file
  // cannot be opened.
  static uint64_t GetWriteTime(const std::wstring& path);
};
