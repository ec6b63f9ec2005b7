#include "platform/QORPropertyKey.h"

std::wstring QORPropertyKeyToString(const PROPERTYKEY& key) {
  return QORGuidToString(key.fmtid) + L"," + std::to_wstring(key.pid);
}

bool QORPropertyKeyFromString(std::wstring_view text, PROPERTYKEY* key) {
  constexpr size_t kGuidChars = 38;
  if (key == nullptr || text.size() < kGuidChars + 2 || text[kGuidChars] != L',') return false;
  const std::wstring_view digits = text.substr(kGuidChars + 1);
  if (digits.size() > 10) return false;
  uint64_t pid = 0;
  for (wchar_t c : digits) {
    if (c < L'0' || c > L'9') return false;
    pid = pid * 10 + static_cast<uint64_t>(c - L'0');
  }
  if (pid > UINT32_MAX) return false;
  PROPERTYKEY parsed{};
  if (!QORGuidFromString(text.substr(0, kGuidChars), &parsed.fmtid)) return false;
  parsed.pid = static_cast<uint32_t>(pid);
  *key = parsed;
  return true;
}
