#pragma once

#include <cstdint>

#include "platform/IUnknown.h"

constexpr IID IID_IMediaBuffer = {
    0x59EFF8B9, 0x938C, 0x4A26, {0x82, 0xF2, 0x95, 0xCB, 0x84, 0xCD, 0xC8, 0x37}};

// A block of bytes handed to a media object: a fixed maximum length and a current length.
class IMediaBuffer : public IUnknown {
 public:
  virtual HRESULT SetLength(uint32_t length) = 0;
  virtual HRESULT GetMaxLength(uint32_t* maxLength) = 0;
  // Fills whichever out-pointer is not null.
  virtual HRESULT GetBufferAndLength(uint8_t** buffer, uint32_t* length) = 0;

 protected:
  ~IMediaBuffer() = default;
};
