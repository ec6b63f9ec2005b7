#pragma once

#include "platform/IUnknown.h"
#include "platform/QORMMDeviceTypes.h"

#ifdef _WIN32
#include "platform/QORComTypes.h"
#else
constexpr IID IID_IMMEndpoint = {
    0x1BE09788, 0x6894, 0x4089, {0x85, 0x86, 0x9A, 0x2A, 0x6C, 0x26, 0x5A, 0xC5}};

class IMMEndpoint : public IUnknown {
 public:
  virtual HRESULT GetDataFlow(EDataFlow* flow) = 0;

 protected:
  ~IMMEndpoint() = default;
};
#endif  // _WIN32
