#pragma once

#include <cstdint>

#include "platform/QORGuid.h"
#include "platform/QORWinTypes.h"

#ifdef _WIN32
#include "platform/QORComTypes.h"
#else
constexpr IID IID_IUnknown = {
    0x00000000, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};

// The root of every COM interface. No virtual destructor: the slot order is that of the platform,
// and objects end through Release.
class IUnknown {
 public:
  virtual HRESULT QueryInterface(REFIID iid, void** object) = 0;
  virtual ULONG AddRef() = 0;
  virtual ULONG Release() = 0;

 protected:
  ~IUnknown() = default;
};
#endif
