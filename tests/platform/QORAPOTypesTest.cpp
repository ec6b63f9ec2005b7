#include <gtest/gtest.h>

#include <cstddef>

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

TEST(QORAPOTypesTest, MediaTypeKeepsTheAnnouncedBytesAndDescribesThem) {
  WAVEFORMATEXTENSIBLE format{{WAVE_FORMAT_EXTENSIBLE, 2, 48000, 384000, 8, 32, 22},
                              24,
                              KSAUDIO_SPEAKER_STEREO,
                              KSDATAFORMAT_SUBTYPE_PCM};
  QORComPtr<IAudioMediaType> type;
  EXPECT_EQ(CreateAudioMediaType(&format.Format, 39, type.Put()), E_INVALIDARG);
  format.Format.cbSize = 0;  // extensible, but without its extra bytes
  EXPECT_EQ(CreateAudioMediaType(&format.Format, 40, type.Put()), E_INVALIDARG);
  format.Format.cbSize = 22;
  ASSERT_EQ(CreateAudioMediaType(&format.Format, 40, type.Put()), S_OK);
  format.Format.nSamplesPerSec = 1;  // the type holds its own copy
  UNCOMPRESSEDAUDIOFORMAT described{};
  ASSERT_EQ(type->GetUncompressedAudioFormat(&described), S_OK);
  EXPECT_EQ(described.guidFormatType, KSDATAFORMAT_SUBTYPE_PCM);
  EXPECT_EQ(described.dwSamplesPerFrame, 2u);
  EXPECT_EQ(described.dwBytesPerSampleContainer, 4u);
  EXPECT_EQ(described.dwValidBitsPerSample, 24u);
  EXPECT_EQ(described.fFramesPerSecond, 48000.0f);
  EXPECT_EQ(described.dwChannelMask, KSAUDIO_SPEAKER_STEREO);

  WAVEFORMATEX adpcm = {2, 2, 44100, 44100, 2048, 4, 0};
  QORComPtr<IAudioMediaType> compressedType;
  ASSERT_EQ(CreateAudioMediaType(&adpcm, sizeof(adpcm), compressedType.Put()), S_OK);
  BOOL compressed = FALSE;
  EXPECT_EQ(compressedType->IsCompressedFormat(&compressed), S_OK);
  EXPECT_EQ(compressed, TRUE);
  EXPECT_EQ(compressedType->GetUncompressedAudioFormat(&described), APOERR_FORMAT_NOT_SUPPORTED);
  DWORD flags = 0;
  EXPECT_EQ(type->IsEqual(compressedType.Get(), &flags), S_FALSE);
  EXPECT_EQ(flags, 0u);
}

}  // namespace
