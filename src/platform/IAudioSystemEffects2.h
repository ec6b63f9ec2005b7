#pragma once

#include "platform/IAudioSystemEffects.h"
#include "platform/QORWinTypes.h"

constexpr IID IID_IAudioSystemEffects2 = {
    0xBAFE99D2, 0x7436, 0x44CE, {0x9E, 0x0E, 0x4D, 0x89, 0xAF, 0xBF, 0xFF, 0x56}};

// A system effect that lists the effects it applies; Event is signalled when the list changes.
class IAudioSystemEffects2 : public IAudioSystemEffects {
 public:
  virtual HRESULT GetEffectsList(LPGUID* ppEffectsIds, UINT* pcEffects, HANDLE Event) = 0;

 protected:
  ~IAudioSystemEffects2() = default;
};
