#include "platform/posix/QORRegistryName.h"

#include <cstdint>

#include "common/QORTextConvert.h"

namespace {

constexpr size_t kMaxPlainFileName = 200;

uint64_t Fnv1a(std::string_view bytes, uint64_t seed) {
  uint64_t hash = seed;
  for (unsigned char c : bytes) {
    hash ^= c;
    hash *= 0x100000001b3ULL;
  }
  return hash;
}

bool IsPlain(unsigned char c) {
  return (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '_' || c == '{' ||
         c == '}' || c == ',' || c == '.' || c == ' ' || c == '(' || c == ')';
}

}  // namespace

wchar_t QORRegistryName::FoldChar(wchar_t c) {
  // Simple case folding for the scripts names are likely to use; the rest compare as they are.
  if (c >= L'A' && c <= L'Z') return c + 32;
  if (c < 0xC0) return c;
  if ((c >= 0xC0 && c <= 0xDE && c != 0xD7) || (c >= 0x391 && c <= 0x3AB && c != 0x3A2) ||
      (c >= 0x410 && c <= 0x42F)) {
    return c + 32;
  }
  if (c >= 0x400 && c <= 0x40F) return c + 80;
  if (c == 0x178) return 0xFF;
  if ((c >= 0x100 && c <= 0x137 && c != 0x130) || (c >= 0x14A && c <= 0x177)) {
    return c | 1;
  }
  if ((c >= 0x139 && c <= 0x148) || (c >= 0x179 && c <= 0x17E)) {
    return (c & 1) != 0 ? c + 1 : c;
  }
  return c;
}

std::wstring QORRegistryName::Fold(std::wstring_view name) {
  std::wstring folded(name);
  for (wchar_t& c : folded) c = FoldChar(c);
  return folded;
}

bool QORRegistryName::EqualsIgnoreCase(std::wstring_view a, std::wstring_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (FoldChar(a[i]) != FoldChar(b[i])) return false;
  }
  return true;
}

std::string QORRegistryName::FileName(char prefix, std::wstring_view name) {
  static const char kHex[] = "0123456789ABCDEF";
  const std::string utf8 = QORWideToUtf8(Fold(name));
  std::string out(1, prefix);
  for (unsigned char c : utf8) {
    if (IsPlain(c)) {
      out += static_cast<char>(c);
    } else {
      out += '%';
      out += kHex[c >> 4];
      out += kHex[c & 15];
    }
  }
  if (out.size() <= kMaxPlainFileName) return out;
  // Long names are stored under a digest; the file keeps the full name, which readers check.
  std::string digest(1, prefix);
  digest += '~';
  for (uint64_t part : {Fnv1a(utf8, 0xcbf29ce484222325ULL), Fnv1a(utf8, 0x84222325cbf29ce4ULL)}) {
    for (int shift = 60; shift >= 0; shift -= 4) digest += kHex[(part >> shift) & 15];
  }
  return digest;
}
