#pragma once

#include <cstdint>

#include "platform/IPropertyStore.h"
#include "platform/IUnknown.h"

#ifdef _WIN32
#include "platform/QORComTypes.h"
#else
constexpr IID IID_IMMDevice = {
    0xD666063F, 0x1587, 0x4E43, {0x81, 0xF1, 0xB9, 0x48, 0xE8, 0x07, 0x36, 0x3F}};

class IMMDevice : public IUnknown {
 public:
  virtual HRESULT Activate(REFIID iid, DWORD context, PROPVARIANT* params, void** object) = 0;
  virtual HRESULT OpenPropertyStore(DWORD access, IPropertyStore** store) = 0;
  // The id as CoTaskMemAlloc text; the caller frees it.
  virtual HRESULT GetId(wchar_t** id) = 0;
  virtual HRESULT GetState(DWORD* state) = 0;

 protected:
  ~IMMDevice() = default;
};
#endif  // _WIN32
