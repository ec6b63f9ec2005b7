#include <gtest/gtest.h>

#include <cwchar>

#include "platform/CBaseAudioProcessingObject.h"
#include "platform/QORAudioMediaType.h"
#include "platform/QORComAggregate.h"
#include "platform/QORComApi.h"

namespace {

constexpr CLSID kClass = {0x11111111, 0x2222, 0x3333, {4, 5, 6, 7, 8, 9, 10, 11}};

class TestAPO : public CBaseAudioProcessingObject {
 public:
  explicit TestAPO(const APO_REG_PROPERTIES& properties) : CBaseAudioProcessingObject(properties) {}
  void APOProcess(UINT32, APO_CONNECTION_PROPERTY**, UINT32, APO_CONNECTION_PROPERTY**) override {}
  using CBaseAudioProcessingObject::InitData;
};

APO_REG_PROPERTIES Registration(uint32_t flags, uint32_t maxInputs) {
  APO_REG_PROPERTIES properties{};
  properties.clsid = kClass;
  properties.Flags = static_cast<APO_FLAG>(flags);
  std::wcscpy(properties.szFriendlyName, L"Test");
  properties.u32MinInputConnections = 1;
  properties.u32MaxInputConnections = maxInputs;
  properties.u32MinOutputConnections = 1;
  properties.u32MaxOutputConnections = 1;
  properties.u32NumAPOInterfaces = 1;
  return properties;
}

QORComPtr<IAudioMediaType> Type(uint16_t tag, uint16_t channels, uint32_t rate, uint16_t bits) {
  WAVEFORMATEX format = {tag,
                         channels,
                         rate,
                         rate * channels * (bits / 8u),
                         static_cast<uint16_t>(channels * (bits / 8u)),
                         bits,
                         0};
  QORComPtr<IAudioMediaType> type;
  EXPECT_EQ(S_OK, CreateAudioMediaType(&format, sizeof(format), type.Put()));
  return type;
}

QORComPtr<IAudioProcessingObject> Make(const APO_REG_PROPERTIES& properties) {
  QORComPtr<IAudioProcessingObject> apo;
  EXPECT_EQ(S_OK, QORComAggregate<TestAPO>::Create(nullptr, IID_IAudioProcessingObject,
                                                   apo.PutVoid(), properties));
  return apo;
}

TestAPO* Of(IAudioProcessingObject* apo) {
  return static_cast<TestAPO*>(static_cast<CBaseAudioProcessingObject*>(apo));
}

TEST(CBaseAudioProcessingObjectTest, DefaultFormatChecksFollowTheRegistrationFlags) {
  const QORComPtr<IAudioMediaType> float48 = Type(WAVE_FORMAT_IEEE_FLOAT, 2, 48000, 32);
  const QORComPtr<IAudioMediaType> float44 = Type(WAVE_FORMAT_IEEE_FLOAT, 2, 44100, 32);
  const QORComPtr<IAudioMediaType> float48x6 = Type(WAVE_FORMAT_IEEE_FLOAT, 6, 48000, 32);
  const QORComPtr<IAudioMediaType> pcm16 = Type(WAVE_FORMAT_PCM, 2, 48000, 16);
  const QORComPtr<IAudioMediaType> pcm32 = Type(WAVE_FORMAT_PCM, 2, 48000, 32);
  const struct {
    uint32_t flags;
    IAudioMediaType* opposite;
    IAudioMediaType* requested;
    HRESULT expected;
  } cases[] = {
      {12, nullptr, float48.Get(), S_OK},
      {12, nullptr, pcm16.Get(), APOERR_FORMAT_NOT_SUPPORTED},
      {12, nullptr, pcm32.Get(), APOERR_FORMAT_NOT_SUPPORTED},
      {12, float44.Get(), float48.Get(), APOERR_FORMAT_NOT_SUPPORTED},
      {8, float44.Get(), float48.Get(), S_OK},
      {12, float48x6.Get(), float48.Get(), S_OK},
      {14, float48x6.Get(), float48.Get(), APOERR_FORMAT_NOT_SUPPORTED},
      {12, pcm16.Get(), float48.Get(), APOERR_FORMAT_NOT_SUPPORTED},
  };
  for (const auto& c : cases) {
    const QORComPtr<IAudioProcessingObject> apo = Make(Registration(c.flags, 1));
    QORComPtr<IAudioMediaType> supported;
    EXPECT_EQ(c.expected, apo->IsInputFormatSupported(c.opposite, c.requested, supported.Put()))
        << c.flags;
    EXPECT_EQ(supported.Get(), c.expected == S_OK ? c.requested : nullptr);
    EXPECT_EQ(c.expected, apo->IsOutputFormatSupported(c.opposite, c.requested, supported.Put()));
  }
  const QORComPtr<IAudioProcessingObject> apo = Make(Registration(12, 1));
  QORComPtr<IAudioMediaType> supported;
  EXPECT_EQ(E_POINTER, apo->IsInputFormatSupported(nullptr, nullptr, supported.Put()));
  EXPECT_EQ(E_POINTER, apo->IsInputFormatSupported(nullptr, float48.Get(), nullptr));
}

TEST(CBaseAudioProcessingObjectTest, LockValidatesConnectionsAndRefusesDoubleStates) {
  const QORComPtr<IAudioProcessingObject> apo = Make(Registration(12, 2));
  QORComPtr<IAudioProcessingObjectConfiguration> configuration;
  QORComPtr<IAudioProcessingObjectRT> rt;
  ASSERT_EQ(S_OK,
            apo->QueryInterface(IID_IAudioProcessingObjectConfiguration, configuration.PutVoid()));
  ASSERT_EQ(S_OK, apo->QueryInterface(IID_IAudioProcessingObjectRT, rt.PutVoid()));
  const QORComPtr<IAudioMediaType> stereo = Type(WAVE_FORMAT_IEEE_FLOAT, 2, 48000, 32);
  const QORComPtr<IAudioMediaType> surround = Type(WAVE_FORMAT_IEEE_FLOAT, 6, 48000, 32);
  const QORComPtr<IAudioMediaType> other = Type(WAVE_FORMAT_IEEE_FLOAT, 2, 44100, 32);
  const QORComPtr<IAudioMediaType> pcm = Type(WAVE_FORMAT_PCM, 2, 48000, 16);
  APO_CONNECTION_DESCRIPTOR in = {APO_CONNECTION_BUFFER_TYPE_EXTERNAL, 0, 480, surround.Get(), 0};
  APO_CONNECTION_DESCRIPTOR out = {APO_CONNECTION_BUFFER_TYPE_EXTERNAL, 0, 480, stereo.Get(), 0};
  APO_CONNECTION_DESCRIPTOR* inputs[3] = {&in, &in, &in};
  APO_CONNECTION_DESCRIPTOR* outputs[2] = {&out, &out};

  EXPECT_EQ(APOERR_NOT_INITIALIZED, configuration->LockForProcess(1, inputs, 1, outputs));
  // The record is kept once; its own size must be the size given.
  APOInitSystemEffects record{};
  record.APOInit = {sizeof(record), kClass};
  auto* data = reinterpret_cast<BYTE*>(&record);
  EXPECT_EQ(E_POINTER, apo->Initialize(56, nullptr));
  EXPECT_EQ(E_INVALIDARG, apo->Initialize(19, data));
  EXPECT_EQ(E_INVALIDARG, apo->Initialize(57, data));
  ASSERT_EQ(S_OK, apo->Initialize(56, data));
  EXPECT_EQ(Of(apo.Get())->InitData().size(), 56u);
  EXPECT_EQ(APOERR_ALREADY_INITIALIZED, apo->Initialize(56, data));

  EXPECT_EQ(APOERR_NUM_CONNECTIONS_INVALID, configuration->LockForProcess(0, inputs, 1, outputs));
  EXPECT_EQ(APOERR_NUM_CONNECTIONS_INVALID, configuration->LockForProcess(3, inputs, 1, outputs));
  EXPECT_EQ(APOERR_NUM_CONNECTIONS_INVALID, configuration->LockForProcess(1, inputs, 2, outputs));
  EXPECT_EQ(E_POINTER, configuration->LockForProcess(1, nullptr, 1, outputs));
  out.pFormat = nullptr;
  EXPECT_EQ(APOERR_INVALID_CONNECTION_FORMAT, configuration->LockForProcess(1, inputs, 1, outputs));
  out.pFormat = pcm.Get();
  EXPECT_EQ(APOERR_INVALID_CONNECTION_FORMAT, configuration->LockForProcess(1, inputs, 1, outputs));
  out.pFormat = other.Get();  // the rates must match
  EXPECT_EQ(APOERR_INVALID_CONNECTION_FORMAT, configuration->LockForProcess(1, inputs, 1, outputs));
  UINT32 channels = 0;
  EXPECT_EQ(APOERR_NOT_LOCKED, apo->GetInputChannelCount(&channels));

  out.pFormat = stereo.Get();  // the channel counts need not
  ASSERT_EQ(S_OK, configuration->LockForProcess(2, inputs, 1, outputs));
  EXPECT_EQ(APOERR_ALREADY_LOCKED, configuration->LockForProcess(1, inputs, 1, outputs));
  EXPECT_EQ(S_OK, apo->GetInputChannelCount(&channels));
  EXPECT_EQ(channels, 6u);
  EXPECT_EQ(rt->CalcInputFrames(480), 480u);
  EXPECT_EQ(rt->CalcOutputFrames(0), 0u);
  HNSTIME latency = -1;
  EXPECT_EQ(S_OK, apo->GetLatency(&latency));
  EXPECT_EQ(latency, 0);
  ASSERT_EQ(S_OK, configuration->UnlockForProcess());
  EXPECT_EQ(APOERR_NOT_LOCKED, configuration->UnlockForProcess());
  EXPECT_EQ(APOERR_NOT_LOCKED, apo->GetInputChannelCount(&channels));
}

}  // namespace
