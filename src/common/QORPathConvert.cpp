#include "common/QORPathConvert.h"

#include <string>

#include "common/QORTextConvert.h"

std::filesystem::path QORPathConvert::ToNative(std::wstring_view path) {
  std::string text = QORWideToUtf8(path);
  for (char& c : text) {
    if (c == '\\') c = '/';
  }
  return std::filesystem::path(text);
}
