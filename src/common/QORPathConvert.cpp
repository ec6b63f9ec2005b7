#include "common/QORPathConvert.h"

#include <string>

#include "common/QORTextConvert.h"

std::filesystem::path QORPathConvert::ToNative(std::wstring_view path) {
#ifdef _WIN32
  // Backslashes are the native separator and wide text the native encoding.
  return std::filesystem::path(std::wstring(path));
#else
  std::string text = QORWideToUtf8(path);
  for (char& c : text) {
    if (c == '\\') c = '/';
  }
  return std::filesystem::path(text);
#endif
}
