#pragma once

#include <vector>

#include "platform/IAudioMediaType.h"
#include "platform/QORComObject.h"

// The platform's media type: a private copy of a wave-format record with its trailing bytes.
class QORAudioMediaType final : public QORComObject<IAudioMediaType> {
 public:
  // E_POINTER for a null format or out pointer; E_INVALIDARG when size is shorter than the
  // record says (18 bytes plus cbSize, an extensible record carrying at least its 22 extra bytes).
  static HRESULT Create(const WAVEFORMATEX* format, UINT32 size, IAudioMediaType** type);

  HRESULT QueryInterface(REFIID iid, void** object) override;
  HRESULT IsCompressedFormat(BOOL* compressed) override;
  HRESULT IsEqual(IAudioMediaType* other, DWORD* flags) override;
  const WAVEFORMATEX* GetAudioFormat() override;
  HRESULT GetUncompressedAudioFormat(UNCOMPRESSEDAUDIOFORMAT* format) override;

 private:
  explicit QORAudioMediaType(std::vector<uint8_t> bytes) : bytes_(std::move(bytes)) {}
  // Subtype of the samples: the extensible record's own, else the one the tag stands for.
  GUID SubType() const;

  std::vector<uint8_t> bytes_;  // WAVEFORMATEX-aligned copy of the record
};

// The platform call of the same name.
HRESULT CreateAudioMediaType(const WAVEFORMATEX* format, UINT32 size, IAudioMediaType** type);
