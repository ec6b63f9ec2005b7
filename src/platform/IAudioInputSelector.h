#pragma once

#include <cstdint>

#include "platform/IUnknown.h"

constexpr IID IID_IAudioInputSelector = {
    0x4F03DC02, 0x5E6E, 0x4653, {0x8F, 0x72, 0xA0, 0x30, 0xC1, 0x23, 0xD5, 0x98}};

// The selector control of a multiplexing part: which neighbouring part it passes on.
class IAudioInputSelector : public IUnknown {
 public:
  virtual HRESULT GetSelection(uint32_t* partId) = 0;
  virtual HRESULT SetSelection(uint32_t partId, const GUID* eventContext) = 0;

 protected:
  ~IAudioInputSelector() = default;
};
