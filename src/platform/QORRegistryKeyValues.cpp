// The typed values, over each backend's QueryValue and SetValue: the same bytes on every platform.
#include <algorithm>
#include <cstring>

#include "common/QORTextConvert.h"
#include "platform/QORRegistryKey.h"

namespace {

std::vector<uint8_t> Utf16WithNul(std::wstring_view text) {
  std::vector<uint8_t> bytes = QORWideToUtf16LE(text);
  bytes.push_back(0);
  bytes.push_back(0);
  return bytes;
}

}  // namespace

uint32_t QORRegistryKey::GetDword(std::wstring_view name, uint32_t* value) const {
  uint32_t type = REG_NONE;
  std::vector<uint8_t> bytes;
  const uint32_t result = QueryValue(name, &type, &bytes);
  if (result != ERROR_SUCCESS) return result;
  if (type != REG_DWORD || bytes.size() != 4) return ERROR_UNSUPPORTED_TYPE;
  std::memcpy(value, bytes.data(), 4);
  return ERROR_SUCCESS;
}

uint32_t QORRegistryKey::GetQword(std::wstring_view name, uint64_t* value) const {
  uint32_t type = REG_NONE;
  std::vector<uint8_t> bytes;
  const uint32_t result = QueryValue(name, &type, &bytes);
  if (result != ERROR_SUCCESS) return result;
  if (type != REG_QWORD || bytes.size() != 8) return ERROR_UNSUPPORTED_TYPE;
  std::memcpy(value, bytes.data(), 8);
  return ERROR_SUCCESS;
}

uint32_t QORRegistryKey::GetString(std::wstring_view name, std::wstring* value) const {
  uint32_t type = REG_NONE;
  std::vector<uint8_t> bytes;
  const uint32_t result = QueryValue(name, &type, &bytes);
  if (result != ERROR_SUCCESS) return result;
  if (type != REG_SZ && type != REG_EXPAND_SZ) return ERROR_UNSUPPORTED_TYPE;
  if (bytes.size() % 2 != 0) return ERROR_INVALID_DATA;
  std::wstring text = QORUtf16LEToWide(bytes.data(), bytes.size());
  const size_t nul = text.find(L'\0');
  if (nul != std::wstring::npos) text.resize(nul);
  *value = std::move(text);
  return ERROR_SUCCESS;
}

uint32_t QORRegistryKey::GetMultiString(std::wstring_view name,
                                        std::vector<std::wstring>* value) const {
  uint32_t type = REG_NONE;
  std::vector<uint8_t> bytes;
  const uint32_t result = QueryValue(name, &type, &bytes);
  if (result != ERROR_SUCCESS) return result;
  if (type != REG_MULTI_SZ) return ERROR_UNSUPPORTED_TYPE;
  if (bytes.size() % 2 != 0) return ERROR_INVALID_DATA;
  const std::wstring text = QORUtf16LEToWide(bytes.data(), bytes.size());
  value->clear();
  size_t start = 0;
  while (start < text.size()) {
    const size_t nul = std::min(text.find(L'\0', start), text.size());
    if (nul == start) break;  // the empty string ends the list
    value->push_back(text.substr(start, nul - start));
    start = nul + 1;
  }
  return ERROR_SUCCESS;
}

uint32_t QORRegistryKey::SetDword(std::wstring_view name, uint32_t value) const {
  uint8_t bytes[4];
  for (int i = 0; i < 4; ++i) bytes[i] = static_cast<uint8_t>(value >> (8 * i));
  return SetValue(name, REG_DWORD, bytes, 4);
}

uint32_t QORRegistryKey::SetQword(std::wstring_view name, uint64_t value) const {
  uint8_t bytes[8];
  for (int i = 0; i < 8; ++i) bytes[i] = static_cast<uint8_t>(value >> (8 * i));
  return SetValue(name, REG_QWORD, bytes, 8);
}

uint32_t QORRegistryKey::SetString(std::wstring_view name, std::wstring_view value,
                                   uint32_t type) const {
  if (type != REG_SZ && type != REG_EXPAND_SZ) return ERROR_INVALID_PARAMETER;
  const std::vector<uint8_t> bytes = Utf16WithNul(value);
  return SetValue(name, type, bytes.data(), static_cast<uint32_t>(bytes.size()));
}

uint32_t QORRegistryKey::SetMultiString(std::wstring_view name,
                                        const std::vector<std::wstring>& value) const {
  std::vector<uint8_t> bytes;
  for (const std::wstring& text : value) {
    // An empty string would end the list early when read back.
    if (text.empty() || text.find(L'\0') != std::wstring::npos) return ERROR_INVALID_PARAMETER;
    const std::vector<uint8_t> part = Utf16WithNul(text);
    bytes.insert(bytes.end(), part.begin(), part.end());
  }
  bytes.push_back(0);
  bytes.push_back(0);
  return SetValue(name, REG_MULTI_SZ, bytes.data(), static_cast<uint32_t>(bytes.size()));
}

uint32_t QORRegistryKey::SetBinary(std::wstring_view name, std::span<const uint8_t> value) const {
  return SetValue(name, REG_BINARY, value.data(), static_cast<uint32_t>(value.size()));
}
