#pragma once

#include "platform/IAudioMediaType.h"
#include "platform/IUnknown.h"
#include "platform/QORAPOTypes.h"

constexpr IID IID_IAudioProcessingObject = {
    0xFD7F2B29, 0x24D0, 0x4B5C, {0xB1, 0x77, 0x59, 0x2C, 0x39, 0xF9, 0xCA, 0x10}};

// Set-up of an APO: initialisation, format queries, latency.
class IAudioProcessingObject : public IUnknown {
 public:
  virtual HRESULT Reset() = 0;
  virtual HRESULT GetLatency(HNSTIME* latency) = 0;
  // The copy is CoTaskMemAlloc memory that the caller frees.
  virtual HRESULT GetRegistrationProperties(APO_REG_PROPERTIES** properties) = 0;
  virtual HRESULT Initialize(UINT32 cbDataSize, BYTE* pbyData) = 0;
  virtual HRESULT IsInputFormatSupported(IAudioMediaType* opposite, IAudioMediaType* requested,
                                         IAudioMediaType** supported) = 0;
  virtual HRESULT IsOutputFormatSupported(IAudioMediaType* opposite, IAudioMediaType* requested,
                                          IAudioMediaType** supported) = 0;
  virtual HRESULT GetInputChannelCount(UINT32* channels) = 0;

 protected:
  ~IAudioProcessingObject() = default;
};
