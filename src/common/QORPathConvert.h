#pragma once

#include <filesystem>
#include <string_view>

// Paths composed from stored settings and known folders keep the backslashes between names that
// the stored values use; a file is opened through the native form.
class QORPathConvert {
 public:
  // Every backslash becomes the native separator; on Linux the text is UTF-8 encoded.
  static std::filesystem::path ToNative(std::wstring_view path);
};
