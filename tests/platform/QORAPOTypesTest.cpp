#include <gtest/gtest.h>

#include <cstddef>
#include <cstring>

#include "platform/QORAPOTypes.h"
#include "platform/QORAudioMediaType.h"
#include "platform/QORComPtr.h"
#include "platform/QORWaveFormat.h"

namespace {

// The records cross into the engine and into stored formats: their layout is the original
// platform's, field by field.
TEST(QORAPOTypesTest, RecordLayoutsMatchTheEngine) {
  EXPECT_EQ(sizeof(WAVEFORMATEX), 18u);
  EXPECT_EQ(offsetof(WAVEFORMATEX, nSamplesPerSec), 4u);
  EXPECT_EQ(offsetof(WAVEFORMATEX, nBlockAlign), 12u);
  EXPECT_EQ(offsetof(WAVEFORMATEX, wBitsPerSample), 14u);
  EXPECT_EQ(offsetof(WAVEFORMATEX, cbSize), 16u);
  EXPECT_EQ(sizeof(WAVEFORMATEXTENSIBLE), 40u);
  EXPECT_EQ(offsetof(WAVEFORMATEXTENSIBLE, wValidBitsPerSample), 18u);
  EXPECT_EQ(offsetof(WAVEFORMATEXTENSIBLE, dwChannelMask), 20u);
  EXPECT_EQ(offsetof(WAVEFORMATEXTENSIBLE, SubFormat), 24u);
  EXPECT_EQ(kWaveFormatExtensibleExtra, 22u);

  EXPECT_EQ(sizeof(APOInitSystemEffects), 56u);
  EXPECT_EQ(offsetof(APOInitSystemEffects, pAPOEndpointProperties), 24u);
  EXPECT_EQ(offsetof(APOInitSystemEffects, pAPOSystemEffectsProperties), 32u);
  EXPECT_EQ(offsetof(APOInitSystemEffects, pDeviceCollection), 48u);
  EXPECT_EQ(sizeof(APOInitSystemEffects2), 88u);
  EXPECT_EQ(offsetof(APOInitSystemEffects2, pDeviceCollection), 48u);
  EXPECT_EQ(offsetof(APOInitSystemEffects2, nSoftwareIoDeviceInCollection), 56u);
  EXPECT_EQ(offsetof(APOInitSystemEffects2, nSoftwareIoConnectorIndex), 60u);
  EXPECT_EQ(offsetof(APOInitSystemEffects2, AudioProcessingMode), 64u);
  EXPECT_EQ(offsetof(APOInitSystemEffects2, InitializeForDiscoveryOnly), 80u);
}

WAVEFORMATEXTENSIBLE FloatFormat(uint16_t channels, uint32_t rate) {
  WAVEFORMATEXTENSIBLE format{};
  format.Format = {WAVE_FORMAT_EXTENSIBLE,
                   channels,
                   rate,
                   rate * channels * 4u,
                   static_cast<uint16_t>(channels * 4u),
                   32,
                   kWaveFormatExtensibleExtra};
  format.wValidBitsPerSample = 32;
  format.dwChannelMask = KSAUDIO_SPEAKER_STEREO;
  format.SubFormat = KSDATAFORMAT_SUBTYPE_IEEE_FLOAT;
  return format;
}

TEST(QORAPOTypesTest, MediaTypeKeepsTheRecordAndDescribesIt) {
  WAVEFORMATEXTENSIBLE format = FloatFormat(2, 48000);
  QORComPtr<IAudioMediaType> type;
  // The record announces 22 further bytes: 39 bytes cannot hold them.
  EXPECT_EQ(CreateAudioMediaType(&format.Format, 39, type.Put()), E_INVALIDARG);
  EXPECT_EQ(type.Get(), nullptr);
  WAVEFORMATEXTENSIBLE shortExtensible = format;
  shortExtensible.Format.cbSize = 0;
  EXPECT_EQ(CreateAudioMediaType(&shortExtensible.Format, 40, type.Put()), E_INVALIDARG);
  ASSERT_EQ(CreateAudioMediaType(&format.Format, sizeof(format), type.Put()), S_OK);
  format.Format.nSamplesPerSec = 1;  // the type holds its own copy
  EXPECT_EQ(type->GetAudioFormat()->nSamplesPerSec, 48000u);

  UNCOMPRESSEDAUDIOFORMAT uncompressed{};
  ASSERT_EQ(type->GetUncompressedAudioFormat(&uncompressed), S_OK);
  EXPECT_EQ(uncompressed.guidFormatType, KSDATAFORMAT_SUBTYPE_IEEE_FLOAT);
  EXPECT_EQ(uncompressed.dwSamplesPerFrame, 2u);
  EXPECT_EQ(uncompressed.dwBytesPerSampleContainer, 4u);
  EXPECT_EQ(uncompressed.dwValidBitsPerSample, 32u);
  EXPECT_EQ(uncompressed.fFramesPerSecond, 48000.0f);
  EXPECT_EQ(uncompressed.dwChannelMask, KSAUDIO_SPEAKER_STEREO);
  BOOL compressed = TRUE;
  EXPECT_EQ(type->IsCompressedFormat(&compressed), S_OK);
  EXPECT_EQ(compressed, FALSE);

  // A plain 24-bit PCM record and a non-PCM tag.
  WAVEFORMATEX pcm = {WAVE_FORMAT_PCM, 2, 44100, 44100 * 6, 6, 24, 0};
  QORComPtr<IAudioMediaType> pcmType;
  ASSERT_EQ(CreateAudioMediaType(&pcm, sizeof(pcm), pcmType.Put()), S_OK);
  ASSERT_EQ(pcmType->GetUncompressedAudioFormat(&uncompressed), S_OK);
  EXPECT_EQ(uncompressed.guidFormatType, KSDATAFORMAT_SUBTYPE_PCM);
  EXPECT_EQ(uncompressed.dwValidBitsPerSample, 24u);
  WAVEFORMATEX adpcm = {2, 2, 44100, 44100, 2048, 4, 0};
  QORComPtr<IAudioMediaType> adpcmType;
  ASSERT_EQ(CreateAudioMediaType(&adpcm, sizeof(adpcm), adpcmType.Put()), S_OK);
  EXPECT_EQ(adpcmType->IsCompressedFormat(&compressed), S_OK);
  EXPECT_EQ(compressed, TRUE);
  EXPECT_EQ(adpcmType->GetUncompressedAudioFormat(&uncompressed), APOERR_FORMAT_NOT_SUPPORTED);

  DWORD flags = 0;
  QORComPtr<IAudioMediaType> same;
  WAVEFORMATEXTENSIBLE again = FloatFormat(2, 48000);
  ASSERT_EQ(CreateAudioMediaType(&again.Format, sizeof(again), same.Put()), S_OK);
  EXPECT_EQ(type->IsEqual(same.Get(), &flags), S_OK);
  again.Format.nSamplesPerSec = 44100;
  ASSERT_EQ(CreateAudioMediaType(&again.Format, sizeof(again), same.Put()), S_OK);
  EXPECT_EQ(type->IsEqual(same.Get(), &flags), S_FALSE);
  EXPECT_EQ(flags, AUDIOMEDIATYPE_EQUAL_FORMAT_TYPES | AUDIOMEDIATYPE_EQUAL_FORMAT_USER_DATA);
}

}  // namespace
