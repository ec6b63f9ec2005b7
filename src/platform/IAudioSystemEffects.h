#pragma once

#include "platform/IUnknown.h"

constexpr IID IID_IAudioSystemEffects = {
    0x5FA00F27, 0xADD6, 0x499A, {0x8A, 0x9D, 0x6B, 0x98, 0x52, 0x1F, 0xA7, 0x5B}};

// Marks an APO as a system effect; no methods of its own.
class IAudioSystemEffects : public IUnknown {
 protected:
  ~IAudioSystemEffects() = default;
};
