#include "platform/QORPropVariant.h"

#include <cstring>

#include "platform/QORComApi.h"

#ifndef _WIN32
void PropVariantInit(PROPVARIANT* value) {
  std::memset(value, 0, sizeof(PROPVARIANT));
}

HRESULT PropVariantClear(PROPVARIANT* value) {
  if (value == nullptr) return S_OK;
  switch (value->vt) {
    case VT_LPWSTR:
      CoTaskMemFree(value->pwszVal);
      break;
    case VT_CLSID:
      CoTaskMemFree(value->puuid);
      break;
    case VT_BLOB:
      CoTaskMemFree(value->blob.pBlobData);
      break;
    default:
      break;
  }
  PropVariantInit(value);
  return S_OK;
}

HRESULT PropVariantCopy(PROPVARIANT* destination, const PROPVARIANT* source) {
  if (destination == nullptr || source == nullptr) return E_POINTER;
  PropVariantInit(destination);
  switch (source->vt) {
    case VT_LPWSTR:
      return source->pwszVal == nullptr ? E_INVALIDARG
                                        : InitPropVariantFromString(source->pwszVal, destination);
    case VT_CLSID:
      return source->puuid == nullptr ? E_INVALIDARG
                                      : InitPropVariantFromCLSID(*source->puuid, destination);
    case VT_BLOB:
      return InitPropVariantFromBuffer(source->blob.pBlobData, source->blob.cbSize, destination);
    default:
      std::memcpy(destination, source, sizeof(PROPVARIANT));
      return S_OK;
  }
}

HRESULT InitPropVariantFromString(std::wstring_view text, PROPVARIANT* value) {
  if (value == nullptr) return E_POINTER;
  PropVariantInit(value);
  auto* copy = static_cast<wchar_t*>(CoTaskMemAlloc((text.size() + 1) * sizeof(wchar_t)));
  if (copy == nullptr) return E_OUTOFMEMORY;
  std::memcpy(copy, text.data(), text.size() * sizeof(wchar_t));
  copy[text.size()] = L'\0';
  value->vt = VT_LPWSTR;
  value->pwszVal = copy;
  return S_OK;
}

HRESULT InitPropVariantFromUInt32(uint32_t number, PROPVARIANT* value) {
  if (value == nullptr) return E_POINTER;
  PropVariantInit(value);
  value->vt = VT_UI4;
  value->ulVal = number;
  return S_OK;
}

HRESULT InitPropVariantFromInt32(int32_t number, PROPVARIANT* value) {
  if (value == nullptr) return E_POINTER;
  PropVariantInit(value);
  value->vt = VT_I4;
  value->lVal = number;
  return S_OK;
}

HRESULT InitPropVariantFromCLSID(const CLSID& clsid, PROPVARIANT* value) {
  if (value == nullptr) return E_POINTER;
  PropVariantInit(value);
  auto* copy = static_cast<GUID*>(CoTaskMemAlloc(sizeof(GUID)));
  if (copy == nullptr) return E_OUTOFMEMORY;
  *copy = clsid;
  value->vt = VT_CLSID;
  value->puuid = copy;
  return S_OK;
}

HRESULT InitPropVariantFromBuffer(const void* data, uint32_t bytes, PROPVARIANT* value) {
  if (value == nullptr) return E_POINTER;
  PropVariantInit(value);
  if (data == nullptr && bytes != 0) return E_INVALIDARG;
  auto* copy = static_cast<uint8_t*>(CoTaskMemAlloc(bytes));
  if (copy == nullptr) return E_OUTOFMEMORY;
  if (bytes != 0) std::memcpy(copy, data, bytes);
  value->vt = VT_BLOB;
  value->blob.cbSize = bytes;
  value->blob.pBlobData = copy;
  return S_OK;
}
#endif  // _WIN32
