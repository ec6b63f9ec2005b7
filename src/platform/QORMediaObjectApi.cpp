#include "platform/QORMediaObjectApi.h"

#include <cstring>

#include "platform/QORComApi.h"

HRESULT MoCreateMediaType(DMO_MEDIA_TYPE** type, uint32_t formatBytes) {
  if (type == nullptr) return E_POINTER;
  *type = nullptr;
  auto* created = static_cast<DMO_MEDIA_TYPE*>(CoTaskMemAlloc(sizeof(DMO_MEDIA_TYPE)));
  if (created == nullptr) return E_OUTOFMEMORY;
  std::memset(created, 0, sizeof(DMO_MEDIA_TYPE));
  if (formatBytes != 0) {
    created->pbFormat = static_cast<uint8_t*>(CoTaskMemAlloc(formatBytes));
    if (created->pbFormat == nullptr) {
      CoTaskMemFree(created);
      return E_OUTOFMEMORY;
    }
    std::memset(created->pbFormat, 0, formatBytes);
    created->cbFormat = formatBytes;
  }
  *type = created;
  return S_OK;
}

HRESULT MoDeleteMediaType(DMO_MEDIA_TYPE* type) {
  if (type == nullptr) return E_POINTER;
  if (type->pUnk != nullptr) type->pUnk->Release();
  CoTaskMemFree(type->pbFormat);
  CoTaskMemFree(type);
  return S_OK;
}
