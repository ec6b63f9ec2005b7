#include <gtest/gtest.h>

#include <cstddef>
#include <cwchar>

#include "platform/CBaseAudioProcessingObject.h"
#include "platform/QORAudioMediaType.h"
#include "platform/QORComAggregate.h"
#include "platform/QORComApi.h"
#include "platform/QORWaveFormat.h"

namespace {

// The records cross into the engine and into stored formats: their fields sit where the engine's
// do.
static_assert(offsetof(WAVEFORMATEX, cbSize) == 16 &&
              offsetof(WAVEFORMATEXTENSIBLE, SubFormat) == 24 &&
              offsetof(APOInitSystemEffects, pDeviceCollection) == 48 &&
              offsetof(APOInitSystemEffects2, AudioProcessingMode) == 64 &&
              offsetof(APOInitSystemEffects2, InitializeForDiscoveryOnly) == 80);

constexpr CLSID kClass = {0x11111111, 0x2222, 0x3333, {4, 5, 6, 7, 8, 9, 10, 11}};

class TestAPO : public CBaseAudioProcessingObject {
 public:
  explicit TestAPO(const APO_REG_PROPERTIES& properties) : CBaseAudioProcessingObject(properties) {}
  void APOProcess(UINT32, APO_CONNECTION_PROPERTY**, UINT32, APO_CONNECTION_PROPERTY**) override {}
};

QORComPtr<IAudioMediaType> Type(uint16_t tag, uint16_t channels, uint32_t rate, uint16_t bits) {
  const auto align = static_cast<uint16_t>(channels * bits / 8);
  WAVEFORMATEX format = {tag, channels, rate, rate * align, align, bits, 0};
  QORComPtr<IAudioMediaType> type;
  EXPECT_EQ(S_OK, CreateAudioMediaType(&format, sizeof(format), type.Put()));
  return type;
}

QORComPtr<IAudioProcessingObject> Make(uint32_t flags, uint32_t maxInputs) {
  APO_REG_PROPERTIES properties{};
  properties.clsid = kClass;
  properties.Flags = static_cast<APO_FLAG>(flags);
  std::wcscpy(properties.szFriendlyName, L"Test");
  properties.u32MinInputConnections = properties.u32MinOutputConnections = 1;
  properties.u32MaxInputConnections = maxInputs;
  properties.u32MaxOutputConnections = properties.u32NumAPOInterfaces = 1;
  QORComPtr<IAudioProcessingObject> apo;
  EXPECT_EQ(S_OK, QORComAggregate<TestAPO>::Create(nullptr, IID_IAudioProcessingObject,
                                                   apo.PutVoid(), properties));
  return apo;
}

TEST(CBaseAudioProcessingObjectTest, LockNeedsTheRecordAndValidatesConnections) {
  const QORComPtr<IAudioProcessingObject> apo = Make(12, 2);
  QORComPtr<IAudioProcessingObjectConfiguration> configuration;
  QORComPtr<IAudioProcessingObjectRT> rt;
  ASSERT_EQ(S_OK,
            apo->QueryInterface(IID_IAudioProcessingObjectConfiguration, configuration.PutVoid()));
  ASSERT_EQ(S_OK, apo->QueryInterface(IID_IAudioProcessingObjectRT, rt.PutVoid()));
  const QORComPtr<IAudioMediaType> stereo = Type(WAVE_FORMAT_IEEE_FLOAT, 2, 48000, 32);
  const QORComPtr<IAudioMediaType> surround = Type(WAVE_FORMAT_IEEE_FLOAT, 6, 48000, 32);
  const QORComPtr<IAudioMediaType> pcm = Type(WAVE_FORMAT_PCM, 2, 48000, 16);
  APO_CONNECTION_DESCRIPTOR in = {APO_CONNECTION_BUFFER_TYPE_EXTERNAL, 0, 480, surround.Get(), 0};
  APO_CONNECTION_DESCRIPTOR out = {APO_CONNECTION_BUFFER_TYPE_EXTERNAL, 0, 480, pcm.Get(), 0};
  APO_CONNECTION_DESCRIPTOR* inputs[3] = {&in, &in, &in};
  APO_CONNECTION_DESCRIPTOR* outputs[2] = {&out, &out};
  EXPECT_EQ(APOERR_NOT_INITIALIZED, configuration->LockForProcess(1, inputs, 1, outputs));
  APOInitSystemEffects record{};
  record.APOInit = {sizeof(record), kClass};
  ASSERT_EQ(S_OK, apo->Initialize(56, reinterpret_cast<BYTE*>(&record)));
  EXPECT_EQ(APOERR_NUM_CONNECTIONS_INVALID, configuration->LockForProcess(3, inputs, 1, outputs));
  EXPECT_EQ(APOERR_NUM_CONNECTIONS_INVALID, configuration->LockForProcess(1, inputs, 2, outputs));
  EXPECT_EQ(APOERR_INVALID_CONNECTION_FORMAT, configuration->LockForProcess(1, inputs, 1, outputs));
  out.pFormat = stereo.Get();  // the channel counts need not match
  ASSERT_EQ(S_OK, configuration->LockForProcess(2, inputs, 1, outputs));
  UINT32 channels = 0;
  EXPECT_EQ(S_OK, apo->GetInputChannelCount(&channels));
  EXPECT_EQ(channels, 6u);
  EXPECT_EQ(rt->CalcInputFrames(480), 480u);
}

}  // namespace
