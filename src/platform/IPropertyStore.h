#pragma once

#include <cstdint>

#include "platform/IUnknown.h"
#include "platform/QORPropVariant.h"
#include "platform/QORPropertyKey.h"

#ifdef _WIN32
#include "platform/QORComTypes.h"
#else
constexpr IID IID_IPropertyStore = {
    0x886d8eeb, 0x8cf2, 0x4446, {0x8d, 0x02, 0xcd, 0xba, 0x1d, 0xbd, 0xcf, 0x99}};

constexpr DWORD STGM_READ = 0x0;
constexpr DWORD STGM_WRITE = 0x1;
constexpr DWORD STGM_READWRITE = 0x2;

// Typed properties by key. GetValue of a missing key gives S_OK and VT_EMPTY; SetValue takes effect
// at Commit.
class IPropertyStore : public IUnknown {
 public:
  virtual HRESULT GetCount(DWORD* count) = 0;
  virtual HRESULT GetAt(DWORD index, PROPERTYKEY* key) = 0;
  virtual HRESULT GetValue(REFPROPERTYKEY key, PROPVARIANT* value) = 0;
  virtual HRESULT SetValue(REFPROPERTYKEY key, const PROPVARIANT& value) = 0;
  virtual HRESULT Commit() = 0;

 protected:
  ~IPropertyStore() = default;
};
#endif  // _WIN32
