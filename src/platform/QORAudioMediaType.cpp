#include "platform/QORAudioMediaType.h"

#include <cstring>
#include <utility>

#include "platform/QORAPOTypes.h"

HRESULT QORAudioMediaType::Create(const WAVEFORMATEX* format, UINT32 size, IAudioMediaType** type) {
  if (format == nullptr || type == nullptr) return E_POINTER;
  *type = nullptr;
  if (size < sizeof(WAVEFORMATEX) || size < sizeof(WAVEFORMATEX) + format->cbSize) {
    return E_INVALIDARG;
  }
  if (format->wFormatTag == WAVE_FORMAT_EXTENSIBLE && format->cbSize < kWaveFormatExtensibleExtra) {
    return E_INVALIDARG;
  }
  // Only the record and the bytes it announces belong to the format.
  const size_t bytes = sizeof(WAVEFORMATEX) + format->cbSize;
  std::vector<uint8_t> copy(bytes);
  std::memcpy(copy.data(), format, bytes);
  *type = new QORAudioMediaType(std::move(copy));
  return S_OK;
}

HRESULT QORAudioMediaType::QueryInterface(REFIID iid, void** object) {
  if (object == nullptr) return E_POINTER;
  if (iid == IID_IUnknown || iid == IID_IAudioMediaType) {
    *object = static_cast<IAudioMediaType*>(this);
    AddRef();
    return S_OK;
  }
  *object = nullptr;
  return E_NOINTERFACE;
}

GUID QORAudioMediaType::SubType() const {
  const auto* format = reinterpret_cast<const WAVEFORMATEX*>(bytes_.data());
  if (format->wFormatTag == WAVE_FORMAT_EXTENSIBLE) {
    return reinterpret_cast<const WAVEFORMATEXTENSIBLE*>(bytes_.data())->SubFormat;
  }
  GUID subType = KSDATAFORMAT_SUBTYPE_PCM;
  subType.Data1 = format->wFormatTag;
  return subType;
}

HRESULT QORAudioMediaType::IsCompressedFormat(BOOL* compressed) {
  if (compressed == nullptr) return E_POINTER;
  const GUID subType = SubType();
  *compressed = (subType == KSDATAFORMAT_SUBTYPE_PCM || subType == KSDATAFORMAT_SUBTYPE_IEEE_FLOAT)
                    ? FALSE
                    : TRUE;
  return S_OK;
}

HRESULT QORAudioMediaType::IsEqual(IAudioMediaType* other, DWORD* flags) {
  if (other == nullptr || flags == nullptr) return E_POINTER;
  const WAVEFORMATEX* mine = GetAudioFormat();
  const WAVEFORMATEX* theirs = other->GetAudioFormat();
  *flags = 0;
  if (theirs == nullptr) return S_FALSE;
  UNCOMPRESSEDAUDIOFORMAT otherFormat{};
  const bool sameType = mine->wFormatTag == theirs->wFormatTag &&
                        (SUCCEEDED(other->GetUncompressedAudioFormat(&otherFormat))
                             ? otherFormat.guidFormatType == SubType()
                             : true);
  if (sameType) *flags |= AUDIOMEDIATYPE_EQUAL_FORMAT_TYPES;
  if (std::memcmp(mine, theirs, sizeof(WAVEFORMATEX) - sizeof(uint16_t)) == 0) {
    *flags |= AUDIOMEDIATYPE_EQUAL_FORMAT_DATA;
  }
  if (mine->cbSize == theirs->cbSize &&
      std::memcmp(mine + 1, theirs + 1, static_cast<size_t>(mine->cbSize)) == 0) {
    *flags |= AUDIOMEDIATYPE_EQUAL_FORMAT_USER_DATA;
  }
  constexpr DWORD kAll = AUDIOMEDIATYPE_EQUAL_FORMAT_TYPES | AUDIOMEDIATYPE_EQUAL_FORMAT_DATA |
                         AUDIOMEDIATYPE_EQUAL_FORMAT_USER_DATA;
  return *flags == kAll ? S_OK : S_FALSE;
}

const WAVEFORMATEX* QORAudioMediaType::GetAudioFormat() {
  return reinterpret_cast<const WAVEFORMATEX*>(bytes_.data());
}

HRESULT QORAudioMediaType::GetUncompressedAudioFormat(UNCOMPRESSEDAUDIOFORMAT* out) {
  if (out == nullptr) return E_POINTER;
  BOOL compressed = FALSE;
  IsCompressedFormat(&compressed);
  if (compressed) return APOERR_FORMAT_NOT_SUPPORTED;
  const WAVEFORMATEX* format = GetAudioFormat();
  out->guidFormatType = SubType();
  out->dwSamplesPerFrame = format->nChannels;
  out->dwBytesPerSampleContainer = format->wBitsPerSample / 8u;
  out->dwValidBitsPerSample = format->wBitsPerSample;
  out->fFramesPerSecond = static_cast<FLOAT>(format->nSamplesPerSec);
  out->dwChannelMask = 0;
  if (format->wFormatTag == WAVE_FORMAT_EXTENSIBLE) {
    const auto* extensible = reinterpret_cast<const WAVEFORMATEXTENSIBLE*>(format);
    out->dwValidBitsPerSample = extensible->Samples.wValidBitsPerSample;
    out->dwChannelMask = extensible->dwChannelMask;
  }
  return S_OK;
}

HRESULT CreateAudioMediaType(const WAVEFORMATEX* format, UINT32 size, IAudioMediaType** type) {
  return QORAudioMediaType::Create(format, size, type);
}
