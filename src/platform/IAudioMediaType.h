#pragma once

#include "platform/IUnknown.h"
#include "platform/QORWaveFormat.h"
#include "platform/QORWinTypes.h"

constexpr IID IID_IAudioMediaType = {
    0x4E997F73, 0xB71F, 0x4798, {0x87, 0x3B, 0xED, 0x7D, 0xFC, 0xF1, 0x5B, 0x4D}};

// What IsEqual found equal, as bits.
constexpr DWORD AUDIOMEDIATYPE_EQUAL_FORMAT_TYPES = 0x2;
constexpr DWORD AUDIOMEDIATYPE_EQUAL_FORMAT_DATA = 0x4;
constexpr DWORD AUDIOMEDIATYPE_EQUAL_FORMAT_USER_DATA = 0x8;

struct UNCOMPRESSEDAUDIOFORMAT {
  GUID guidFormatType;
  DWORD dwSamplesPerFrame;
  DWORD dwBytesPerSampleContainer;
  DWORD dwValidBitsPerSample;
  FLOAT fFramesPerSecond;
  DWORD dwChannelMask;
};

// An audio format as the engine hands it to format queries and connections.
class IAudioMediaType : public IUnknown {
 public:
  virtual HRESULT IsCompressedFormat(BOOL* compressed) = 0;
  virtual HRESULT IsEqual(IAudioMediaType* other, DWORD* flags) = 0;
  virtual const WAVEFORMATEX* GetAudioFormat() = 0;
  virtual HRESULT GetUncompressedAudioFormat(UNCOMPRESSEDAUDIOFORMAT* format) = 0;

 protected:
  ~IAudioMediaType() = default;
};
