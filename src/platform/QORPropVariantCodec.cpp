#include "platform/QORPropVariantCodec.h"

#include <cstring>
#include <string>

#include "common/QORTextConvert.h"
#include "platform/QORRegistryTypes.h"

namespace {

constexpr size_t kHeaderBytes = 4;

void PutLE(std::vector<uint8_t>& out, uint64_t value, int bytes) {
  for (int i = 0; i < bytes; ++i) out.push_back(static_cast<uint8_t>(value >> (8 * i)));
}

uint64_t GetLE(const uint8_t* p, int bytes) {
  uint64_t value = 0;
  for (int i = bytes - 1; i >= 0; --i) value = (value << 8) | p[i];
  return value;
}

std::vector<uint8_t> TextWithNul(const wchar_t* text) {
  std::vector<uint8_t> bytes = QORWideToUtf16LE(text);
  bytes.push_back(0);
  bytes.push_back(0);
  return bytes;
}

bool TextFromUtf16(const uint8_t* data, size_t size, PROPVARIANT* value) {
  if (size % 2 != 0) return false;
  std::wstring text = QORUtf16LEToWide(data, size);
  const size_t nul = text.find(L'\0');
  if (nul != std::wstring::npos) text.resize(nul);
  return SUCCEEDED(InitPropVariantFromString(text.c_str(), value));
}

bool FromStoredForm(const uint8_t* data, size_t size, PROPVARIANT* value) {
  if (size < kHeaderBytes || data[2] != 0 || data[3] != 0) return false;
  const VARTYPE vt = static_cast<VARTYPE>(GetLE(data, 2));
  const uint8_t* payload = data + kHeaderBytes;
  const size_t bytes = size - kHeaderBytes;
  auto number = [&](int width) {
    if (bytes != static_cast<size_t>(width)) return false;
    value->vt = vt;
    value->uhVal.QuadPart = GetLE(payload, width);
    // Narrow signed values keep their sign in the union's own member.
    if (vt == VT_I2 || vt == VT_BOOL) value->iVal = static_cast<int16_t>(value->uhVal.QuadPart);
    if (vt == VT_I4) value->lVal = static_cast<int32_t>(value->uhVal.QuadPart);
    return true;
  };
  switch (vt) {
    case VT_I2:
    case VT_UI2:
    case VT_BOOL:
      return number(2);
    case VT_I4:
    case VT_UI4:
      return number(4);
    case VT_I8:
    case VT_UI8:
      return number(8);
    case VT_LPWSTR:
      return TextFromUtf16(payload, bytes, value);
    case VT_CLSID: {
      if (bytes != sizeof(GUID)) return false;
      GUID guid{};
      guid.Data1 = static_cast<uint32_t>(GetLE(payload, 4));
      guid.Data2 = static_cast<uint16_t>(GetLE(payload + 4, 2));
      guid.Data3 = static_cast<uint16_t>(GetLE(payload + 6, 2));
      std::memcpy(guid.Data4, payload + 8, 8);
      return SUCCEEDED(InitPropVariantFromCLSID(guid, value));
    }
    case VT_BLOB:
      return SUCCEEDED(InitPropVariantFromBuffer(payload, static_cast<uint32_t>(bytes), value));
    default:
      return false;
  }
}

}  // namespace

bool QORPropVariantCodec::ToRegistry(const PROPVARIANT& value, uint32_t* type,
                                     std::vector<uint8_t>* data) {
  data->clear();
  if (value.vt == VT_LPWSTR) {
    if (value.pwszVal == nullptr) return false;
    *type = REG_SZ;
    *data = TextWithNul(value.pwszVal);
    return true;
  }
  if (value.vt == VT_UI4) {
    *type = REG_DWORD;
    PutLE(*data, value.ulVal, 4);
    return true;
  }
  *type = REG_BINARY;
  PutLE(*data, value.vt, 2);
  PutLE(*data, 0, 2);
  switch (value.vt) {
    case VT_I2:
    case VT_UI2:
    case VT_BOOL:
      PutLE(*data, value.uiVal, 2);
      return true;
    case VT_I4:
      PutLE(*data, static_cast<uint32_t>(value.lVal), 4);
      return true;
    case VT_I8:
    case VT_UI8:
      PutLE(*data, value.uhVal.QuadPart, 8);
      return true;
    case VT_CLSID:
      if (value.puuid == nullptr) return false;
      PutLE(*data, value.puuid->Data1, 4);
      PutLE(*data, value.puuid->Data2, 2);
      PutLE(*data, value.puuid->Data3, 2);
      data->insert(data->end(), value.puuid->Data4, value.puuid->Data4 + 8);
      return true;
    case VT_BLOB:
      if (value.blob.pBlobData == nullptr && value.blob.cbSize != 0) return false;
      if (value.blob.cbSize != 0) {
        data->insert(data->end(), value.blob.pBlobData, value.blob.pBlobData + value.blob.cbSize);
      }
      return true;
    default:
      data->clear();
      return false;
  }
}

bool QORPropVariantCodec::FromRegistry(uint32_t type, const uint8_t* data, size_t size,
                                       PROPVARIANT* value) {
  PropVariantInit(value);
  if (data == nullptr && size != 0) return false;
  bool ok = false;
  switch (type) {
    case REG_SZ:
    case REG_EXPAND_SZ:
      ok = TextFromUtf16(data, size, value);
      break;
    case REG_DWORD:
      ok = size == 4;
      if (ok) InitPropVariantFromUInt32(static_cast<uint32_t>(GetLE(data, 4)), value);
      break;
    case REG_QWORD:
      ok = size == 8;
      if (ok) {
        value->vt = VT_UI8;
        value->uhVal.QuadPart = GetLE(data, 8);
      }
      break;
    case REG_BINARY:
      ok = FromStoredForm(data, size, value) ||
           SUCCEEDED(InitPropVariantFromBuffer(data, static_cast<uint32_t>(size), value));
      break;
    default:
      break;
  }
  if (!ok) PropVariantClear(value);
  return ok;
}
