#pragma once

#include <string>
#include <string_view>

// How registry names become file names. Names compare without regard to case, so a name is folded
// first; the folded name is then escaped so that every name gives one harmless file name (no "/",
// no NUL, never "." or ".."), with a prefix that keeps keys, values and temporary files apart.
class QORRegistryName {
 public:
  static constexpr char kKeyPrefix = 'k';
  static constexpr char kValuePrefix = 'v';

  static wchar_t FoldChar(wchar_t c);
  static std::wstring Fold(std::wstring_view name);
  static bool EqualsIgnoreCase(std::wstring_view a, std::wstring_view b);
  // File name of a key (prefix kKeyPrefix) or value (kValuePrefix); at most 255 bytes.
  static std::string FileName(char prefix, std::wstring_view name);
  // Temporary entries start with a dot, which no escaped name does.
  static bool IsTemporary(std::string_view fileName) {
    return !fileName.empty() && fileName[0] == '.';
  }
};
