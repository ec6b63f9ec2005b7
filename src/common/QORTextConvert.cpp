#include "common/QORTextConvert.h"

namespace {

constexpr char32_t kReplacement = 0xFFFD;

bool IsScalarValue(char32_t c) {
  return c <= 0x10FFFF && (c < 0xD800 || c > 0xDFFF);
}

void AppendUtf8(char32_t c, std::string& out) {
  if (!IsScalarValue(c)) c = kReplacement;
  if (c < 0x80) {
    out.push_back(static_cast<char>(c));
  } else if (c < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (c >> 6)));
    out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
  } else if (c < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | (c >> 12)));
    out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | (c >> 18)));
    out.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
  }
}

// Wide text holds code points where wchar_t has 32 bits and UTF-16 where it has 16.
constexpr bool kWideIsUtf16 = sizeof(wchar_t) == 2;

void AppendWide(char32_t c, std::wstring& out) {
  if (kWideIsUtf16 && c >= 0x10000 && IsScalarValue(c)) {
    c -= 0x10000;
    out.push_back(static_cast<wchar_t>(0xD800 | (c >> 10)));
    out.push_back(static_cast<wchar_t>(0xDC00 | (c & 0x3FF)));
  } else {
    out.push_back(static_cast<wchar_t>(c));
  }
}

// The code point at text[i], advancing i past it; an unpaired surrogate comes back as itself.
char32_t NextWide(std::wstring_view text, size_t& i) {
  auto c = static_cast<char32_t>(text[i++]);
  if constexpr (kWideIsUtf16) {
    c &= 0xFFFF;
    if (c >= 0xD800 && c <= 0xDBFF && i < text.size()) {
      const auto next = static_cast<char32_t>(text[i]) & 0xFFFF;
      if (next >= 0xDC00 && next <= 0xDFFF) {
        ++i;
        return 0x10000 + ((c - 0xD800) << 10) + (next - 0xDC00);
      }
    }
  }
  return c;
}

void AppendUnit(uint16_t unit, std::vector<uint8_t>& out) {
  out.push_back(static_cast<uint8_t>(unit & 0xFF));
  out.push_back(static_cast<uint8_t>(unit >> 8));
}

}  // namespace

std::wstring QORUtf8ToWide(std::string_view text) {
  std::wstring out;
  out.reserve(text.size());
  const auto* bytes = reinterpret_cast<const unsigned char*>(text.data());
  const size_t size = text.size();
  size_t i = 0;
  while (i < size) {
    const unsigned char lead = bytes[i];
    if (lead < 0x80) {
      AppendWide(lead, out);
      ++i;
      continue;
    }
    int length = 0;
    char32_t c = 0;
    // Bounds of the second byte exclude overlong forms, surrogates and values past U+10FFFF.
    unsigned char low = 0x80;
    unsigned char high = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF) {
      length = 2;
      c = lead & 0x1F;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
      length = 3;
      c = lead & 0x0F;
      if (lead == 0xE0) low = 0xA0;
      if (lead == 0xED) high = 0x9F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
      length = 4;
      c = lead & 0x07;
      if (lead == 0xF0) low = 0x90;
      if (lead == 0xF4) high = 0x8F;
    } else {
      AppendWide(kReplacement, out);
      ++i;
      continue;
    }
    size_t j = i + 1;
    bool valid = true;
    for (int k = 1; k < length; ++k, ++j) {
      const unsigned char lo = (k == 1) ? low : 0x80;
      const unsigned char hi = (k == 1) ? high : 0xBF;
      if (j >= size || bytes[j] < lo || bytes[j] > hi) {
        valid = false;
        break;
      }
      c = (c << 6) | (bytes[j] & 0x3F);
    }
    AppendWide(valid ? c : kReplacement, out);
    i = j;
  }
  return out;
}

std::string QORWideToUtf8(std::wstring_view text) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size();) AppendUtf8(NextWide(text, i), out);
  return out;
}

size_t QORUtf16Length(std::wstring_view text) {
  size_t units = 0;
  for (size_t i = 0; i < text.size();) {
    const char32_t c = NextWide(text, i);
    units += (IsScalarValue(c) && c >= 0x10000) ? 2 : 1;
  }
  return units;
}

void QORAppendUtf16LE(std::wstring_view text, std::vector<uint8_t>& out) {
  for (size_t i = 0; i < text.size();) {
    char32_t c = NextWide(text, i);
    if (!IsScalarValue(c)) c = kReplacement;
    if (c >= 0x10000) {
      c -= 0x10000;
      AppendUnit(static_cast<uint16_t>(0xD800 | (c >> 10)), out);
      AppendUnit(static_cast<uint16_t>(0xDC00 | (c & 0x3FF)), out);
    } else {
      AppendUnit(static_cast<uint16_t>(c), out);
    }
  }
}

std::vector<uint8_t> QORWideToUtf16LE(std::wstring_view text) {
  std::vector<uint8_t> out;
  out.reserve(QORUtf16Length(text) * 2);
  QORAppendUtf16LE(text, out);
  return out;
}

std::wstring QORUtf16LEToWide(const uint8_t* bytes, size_t byteCount) {
  std::wstring out;
  if (bytes == nullptr) return out;
  const size_t units = byteCount / 2;
  out.reserve(units + 1);
  auto unitAt = [bytes](size_t i) {
    return static_cast<char32_t>(bytes[2 * i] | (bytes[2 * i + 1] << 8));
  };
  for (size_t i = 0; i < units; ++i) {
    const char32_t unit = unitAt(i);
    if (unit >= 0xD800 && unit <= 0xDBFF && i + 1 < units) {
      const char32_t next = unitAt(i + 1);
      if (next >= 0xDC00 && next <= 0xDFFF) {
        AppendWide(0x10000 + ((unit - 0xD800) << 10) + (next - 0xDC00), out);
        ++i;
        continue;
      }
    }
    AppendWide(IsScalarValue(unit) ? unit : kReplacement, out);
  }
  if (byteCount % 2 != 0) AppendWide(kReplacement, out);
  return out;
}
