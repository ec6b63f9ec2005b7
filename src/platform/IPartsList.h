#pragma once

#include <cstdint>

#include "platform/IUnknown.h"

class IPart;

constexpr IID IID_IPartsList = {
    0x6DAA848C, 0x5EB0, 0x45CC, {0xAE, 0xA5, 0x99, 0x8A, 0x2C, 0xDA, 0x1F, 0xFB}};

class IPartsList : public IUnknown {
 public:
  virtual HRESULT GetCount(uint32_t* count) = 0;
  virtual HRESULT GetPart(uint32_t index, IPart** part) = 0;

 protected:
  ~IPartsList() = default;
};
