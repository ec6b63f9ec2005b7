#pragma once

#include "platform/IUnknown.h"
#include "platform/QORAPOTypes.h"

constexpr IID IID_IAudioProcessingObjectRT = {
    0x9E1D6A6D, 0xDDBC, 0x4E95, {0xA4, 0xC7, 0xAD, 0x64, 0xBA, 0x37, 0x84, 0x6C}};

// The real-time entry of an APO.
class IAudioProcessingObjectRT : public IUnknown {
 public:
  virtual void APOProcess(UINT32 u32NumInputConnections, APO_CONNECTION_PROPERTY** inputs,
                          UINT32 u32NumOutputConnections, APO_CONNECTION_PROPERTY** outputs) = 0;
  virtual UINT32 CalcInputFrames(UINT32 outputFrameCount) = 0;
  virtual UINT32 CalcOutputFrames(UINT32 inputFrameCount) = 0;

 protected:
  ~IAudioProcessingObjectRT() = default;
};
