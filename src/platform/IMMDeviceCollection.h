#pragma once

#include <cstdint>

#include "platform/IMMDevice.h"

#ifdef _WIN32
#include "platform/QORComTypes.h"
#else
constexpr IID IID_IMMDeviceCollection = {
    0x0BD7A1BE, 0x7A1A, 0x44DB, {0x83, 0x97, 0xCC, 0x53, 0x92, 0x38, 0x7B, 0x5E}};

class IMMDeviceCollection : public IUnknown {
 public:
  virtual HRESULT GetCount(UINT* count) = 0;
  virtual HRESULT Item(UINT index, IMMDevice** device) = 0;

 protected:
  ~IMMDeviceCollection() = default;
};
#endif  // _WIN32
