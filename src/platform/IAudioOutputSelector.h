#pragma once

#include <cstdint>

#include "platform/IUnknown.h"

constexpr IID IID_IAudioOutputSelector = {
    0xBB515F69, 0x94A7, 0x429E, {0x8B, 0x9C, 0x27, 0x1B, 0x3F, 0x11, 0xA3, 0xAB}};

// The selector control of a multiplexing part: which neighbouring part it passes on.
class IAudioOutputSelector : public IUnknown {
 public:
  virtual HRESULT GetSelection(uint32_t* partId) = 0;
  virtual HRESULT SetSelection(uint32_t partId, const GUID* eventContext) = 0;

 protected:
  ~IAudioOutputSelector() = default;
};
