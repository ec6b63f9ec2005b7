#pragma once

#include "platform/IUnknown.h"
#include "platform/QORAPOTypes.h"

constexpr IID IID_IAudioProcessingObjectConfiguration = {
    0x0E5ED805, 0xABA6, 0x49C3, {0x8F, 0x9A, 0x2B, 0x8C, 0x88, 0x9C, 0x4F, 0xA8}};

// Locks an APO to its connections for processing, and releases it.
class IAudioProcessingObjectConfiguration : public IUnknown {
 public:
  virtual HRESULT LockForProcess(UINT32 u32NumInputConnections, APO_CONNECTION_DESCRIPTOR** inputs,
                                 UINT32 u32NumOutputConnections,
                                 APO_CONNECTION_DESCRIPTOR** outputs) = 0;
  virtual HRESULT UnlockForProcess() = 0;

 protected:
  ~IAudioProcessingObjectConfiguration() = default;
};
