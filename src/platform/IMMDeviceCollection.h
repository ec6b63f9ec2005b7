#pragma once

#include <cstdint>

#include "platform/IMMDevice.h"

constexpr IID IID_IMMDeviceCollection = {
    0x0BD7A1BE, 0x7A1A, 0x44DB, {0x83, 0x97, 0xCC, 0x53, 0x92, 0x38, 0x7B, 0x5E}};

class IMMDeviceCollection : public IUnknown {
 public:
  virtual HRESULT GetCount(uint32_t* count) = 0;
  virtual HRESULT Item(uint32_t index, IMMDevice** device) = 0;

 protected:
  ~IMMDeviceCollection() = default;
};
