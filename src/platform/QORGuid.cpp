#include "platform/QORGuid.h"

#include <cstring>

namespace {

constexpr size_t kTextChars = 38;

int HexValue(wchar_t c) {
  if (c >= L'0' && c <= L'9') return c - L'0';
  if (c >= L'a' && c <= L'f') return c - L'a' + 10;
  if (c >= L'A' && c <= L'F') return c - L'A' + 10;
  return -1;
}

bool ReadHex(std::wstring_view text, size_t at, size_t digits, uint64_t* value) {
  *value = 0;
  for (size_t i = 0; i < digits; ++i) {
    const int v = HexValue(text[at + i]);
    if (v < 0) return false;
    *value = (*value << 4) | static_cast<uint64_t>(v);
  }
  return true;
}

}  // namespace

bool operator<(const GUID& a, const GUID& b) {
  return std::memcmp(&a, &b, sizeof(GUID)) < 0;
}

std::wstring QORGuidToString(const GUID& guid, bool lowerCase) {
  const wchar_t* digits = lowerCase ? L"0123456789abcdef" : L"0123456789ABCDEF";
  std::wstring text;
  text.reserve(kTextChars);
  auto put = [&](uint64_t value, int count) {
    for (int shift = (count - 1) * 4; shift >= 0; shift -= 4) text += digits[(value >> shift) & 15];
  };
  text += L'{';
  put(guid.Data1, 8);
  text += L'-';
  put(guid.Data2, 4);
  text += L'-';
  put(guid.Data3, 4);
  text += L'-';
  put(guid.Data4[0], 2);
  put(guid.Data4[1], 2);
  text += L'-';
  for (int i = 2; i < 8; ++i) put(guid.Data4[i], 2);
  text += L'}';
  return text;
}

bool QORGuidFromString(std::wstring_view text, GUID* guid) {
  if (guid == nullptr || text.size() != kTextChars || text[0] != L'{' || text[37] != L'}' ||
      text[9] != L'-' || text[14] != L'-' || text[19] != L'-' || text[24] != L'-') {
    return false;
  }
  GUID parsed{};
  uint64_t value = 0;
  if (!ReadHex(text, 1, 8, &value)) return false;
  parsed.Data1 = static_cast<uint32_t>(value);
  if (!ReadHex(text, 10, 4, &value)) return false;
  parsed.Data2 = static_cast<uint16_t>(value);
  if (!ReadHex(text, 15, 4, &value)) return false;
  parsed.Data3 = static_cast<uint16_t>(value);
  static const size_t kByteAt[8] = {20, 22, 25, 27, 29, 31, 33, 35};
  for (int i = 0; i < 8; ++i) {
    if (!ReadHex(text, kByteAt[i], 2, &value)) return false;
    parsed.Data4[i] = static_cast<uint8_t>(value);
  }
  *guid = parsed;
  return true;
}

#ifndef _WIN32
HRESULT CLSIDFromString(const wchar_t* text, CLSID* clsid) {
  if (clsid == nullptr) return E_INVALIDARG;
  *clsid = GUID_NULL;
  if (text == nullptr) return CO_E_CLASSSTRING;
  return QORGuidFromString(text, clsid) ? S_OK : CO_E_CLASSSTRING;
}

int StringFromGUID2(const GUID& guid, wchar_t* buffer, int bufferChars) {
  if (buffer == nullptr || bufferChars < static_cast<int>(kTextChars) + 1) return 0;
  const std::wstring text = QORGuidToString(guid);
  std::memcpy(buffer, text.c_str(), (kTextChars + 1) * sizeof(wchar_t));
  return static_cast<int>(kTextChars) + 1;
}
#endif  // _WIN32
