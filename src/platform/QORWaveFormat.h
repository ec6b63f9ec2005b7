#pragma once

#include <cstdint>

#include "platform/QORGuid.h"

#ifdef _WIN32
// Format tags, subtypes, speaker bits and the records are the system's.
#include "platform/QORComTypes.h"
#else
constexpr uint16_t WAVE_FORMAT_PCM = 1;
constexpr uint16_t WAVE_FORMAT_IEEE_FLOAT = 3;
constexpr uint16_t WAVE_FORMAT_EXTENSIBLE = 0xFFFE;

constexpr GUID KSDATAFORMAT_SUBTYPE_PCM = {
    0x00000001, 0x0000, 0x0010, {0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71}};
constexpr GUID KSDATAFORMAT_SUBTYPE_IEEE_FLOAT = {
    0x00000003, 0x0000, 0x0010, {0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71}};

// Speaker positions of a channel mask, and the usual layouts.
constexpr uint32_t SPEAKER_FRONT_LEFT = 0x1;
constexpr uint32_t SPEAKER_FRONT_RIGHT = 0x2;
constexpr uint32_t SPEAKER_FRONT_CENTER = 0x4;
constexpr uint32_t SPEAKER_LOW_FREQUENCY = 0x8;
constexpr uint32_t SPEAKER_BACK_LEFT = 0x10;
constexpr uint32_t SPEAKER_BACK_RIGHT = 0x20;
constexpr uint32_t SPEAKER_FRONT_LEFT_OF_CENTER = 0x40;
constexpr uint32_t SPEAKER_FRONT_RIGHT_OF_CENTER = 0x80;
constexpr uint32_t SPEAKER_BACK_CENTER = 0x100;
constexpr uint32_t SPEAKER_SIDE_LEFT = 0x200;
constexpr uint32_t SPEAKER_SIDE_RIGHT = 0x400;
// The wave-format records, byte for byte as stored and exchanged (no padding).
#pragma pack(push, 1)
struct WAVEFORMATEX {
  uint16_t wFormatTag;
  uint16_t nChannels;
  uint32_t nSamplesPerSec;
  uint32_t nAvgBytesPerSec;
  uint16_t nBlockAlign;
  uint16_t wBitsPerSample;
  uint16_t cbSize;  // bytes that follow the record
};
struct WAVEFORMATEXTENSIBLE {
  WAVEFORMATEX Format;
  union {
    uint16_t wValidBitsPerSample;
    uint16_t wSamplesPerBlock;
    uint16_t wReserved;
  } Samples;
  uint32_t dwChannelMask;
  GUID SubFormat;
};
#pragma pack(pop)
#endif  // _WIN32

constexpr uint32_t KSAUDIO_SPEAKER_MONO = SPEAKER_FRONT_CENTER;
constexpr uint32_t KSAUDIO_SPEAKER_STEREO = SPEAKER_FRONT_LEFT | SPEAKER_FRONT_RIGHT;
constexpr uint32_t KSAUDIO_SPEAKER_QUAD =
    KSAUDIO_SPEAKER_STEREO | SPEAKER_BACK_LEFT | SPEAKER_BACK_RIGHT;
constexpr uint32_t KSAUDIO_SPEAKER_5POINT1 =
    KSAUDIO_SPEAKER_QUAD | SPEAKER_FRONT_CENTER | SPEAKER_LOW_FREQUENCY;
constexpr uint32_t KSAUDIO_SPEAKER_5POINT1_SURROUND = KSAUDIO_SPEAKER_STEREO |
                                                      SPEAKER_FRONT_CENTER | SPEAKER_LOW_FREQUENCY |
                                                      SPEAKER_SIDE_LEFT | SPEAKER_SIDE_RIGHT;
constexpr uint32_t KSAUDIO_SPEAKER_7POINT1_SURROUND =
    KSAUDIO_SPEAKER_5POINT1 | SPEAKER_SIDE_LEFT | SPEAKER_SIDE_RIGHT;

static_assert(sizeof(WAVEFORMATEX) == 18);
static_assert(sizeof(WAVEFORMATEXTENSIBLE) == 40);

// Bytes an extensible record carries after its WAVEFORMATEX part.
constexpr uint16_t kWaveFormatExtensibleExtra = sizeof(WAVEFORMATEXTENSIBLE) - sizeof(WAVEFORMATEX);
