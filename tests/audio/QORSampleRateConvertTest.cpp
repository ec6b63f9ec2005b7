#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "TraceCapture.h"
#include "audio/CMediaBuffer.h"
#include "audio/QORAudioDataFloat.h"
#include "audio/QORResampleHandler.h"
#include "platform/QORComApi.h"
#include "platform/QORComPtr.h"
#include "platform/QORMediaObjectApi.h"
#include "platform/posix/QORSpeexResampler.h"

namespace {

// What the stand-in media object saw, and how it answers.
struct FakeScript {
  std::vector<uint8_t> inputFormat;
  std::vector<uint8_t> outputFormat;
  DMO_MEDIA_TYPE inputType{};
  bool failProcessInput = false;
  bool acceptData = true;
  int processInputCalls = 0;
};
FakeScript* script = nullptr;

class FakeMediaObject : public QORComObject<IMediaObject> {
 public:
  static HRESULT Create(REFIID, void** object) {
    *object = static_cast<IMediaObject*>(new FakeMediaObject());
    return S_OK;
  }
  HRESULT QueryInterface(REFIID, void**) override { return E_NOINTERFACE; }
  HRESULT SetInputType(uint32_t, const DMO_MEDIA_TYPE* type, uint32_t) override {
    script->inputType = *type;
    script->inputType.pbFormat = nullptr;
    script->inputFormat.assign(type->pbFormat, type->pbFormat + type->cbFormat);
    return S_OK;
  }
  HRESULT SetOutputType(uint32_t, const DMO_MEDIA_TYPE* type, uint32_t) override {
    script->outputFormat.assign(type->pbFormat, type->pbFormat + type->cbFormat);
    return S_OK;
  }
  HRESULT GetInputMaxLatency(uint32_t, REFERENCE_TIME*) override { return E_NOTIMPL; }
  HRESULT Flush() override { return S_OK; }
  HRESULT AllocateStreamingResources() override { return S_OK; }
  HRESULT FreeStreamingResources() override { return S_OK; }
  HRESULT GetInputStatus(uint32_t, uint32_t* flags) override {
    *flags = script->acceptData ? DMO_INPUT_STATUSF_ACCEPT_DATA : 0;
    return S_OK;
  }
  HRESULT ProcessInput(uint32_t, IMediaBuffer*, uint32_t, REFERENCE_TIME, REFERENCE_TIME) override {
    ++script->processInputCalls;
    return script->failProcessInput ? E_FAIL : S_OK;
  }
  HRESULT ProcessOutput(uint32_t, uint32_t, DMO_OUTPUT_DATA_BUFFER*, uint32_t*) override {
    return S_OK;  // never any output
  }
};

// Puts the stand-in in place of the platform's resampler while a test runs.
class QORSampleRateConvertFake : public ::testing::Test {
 protected:
  void SetUp() override {
    QORRegisterResamplerMediaObject();
    script = &script_;
    QORComRegisterClass(CLSID_CResamplerMediaObject, &FakeMediaObject::Create);
  }
  void TearDown() override {
    QORComRegisterClass(CLSID_CResamplerMediaObject, &QORSpeexResampler::Create);
    script = nullptr;
  }
  FakeScript script_;
};

WAVEFORMATEXTENSIBLE Extensible(const std::vector<uint8_t>& block) {
  WAVEFORMATEXTENSIBLE format{};
  std::memcpy(&format, block.data(), std::min(block.size(), sizeof(format)));
  return format;
}

TEST_F(QORSampleRateConvertFake, DescribesFloatStreamsInTheFormLayoutsNeed) {
  QORResampleHandler stereo;
  ASSERT_TRUE(stereo.Setup(48000, 44100, 2));
  EXPECT_EQ(script_.inputType.majortype, MEDIATYPE_Audio);
  EXPECT_EQ(script_.inputType.subtype, MEDIASUBTYPE_PCM);
  EXPECT_EQ(script_.inputType.formattype, FORMAT_WaveFormatEx);
  EXPECT_EQ(script_.inputType.bFixedSizeSamples, 1);
  EXPECT_EQ(script_.inputType.bTemporalCompression, 0);
  EXPECT_EQ(script_.inputType.lSampleSize, 8u);
  EXPECT_EQ(script_.inputType.cbFormat, 40u);
  WAVEFORMATEXTENSIBLE in = Extensible(script_.inputFormat);
  EXPECT_EQ(in.Format.wFormatTag, WAVE_FORMAT_IEEE_FLOAT);
  EXPECT_EQ(in.Format.nChannels, 2);
  EXPECT_EQ(in.Format.nSamplesPerSec, 48000u);
  EXPECT_EQ(in.Format.nAvgBytesPerSec, 384000u);
  EXPECT_EQ(in.Format.nBlockAlign, 8);
  EXPECT_EQ(in.Format.wBitsPerSample, 32);
  EXPECT_EQ(in.Format.cbSize, 0);
  WAVEFORMATEXTENSIBLE out = Extensible(script_.outputFormat);
  EXPECT_EQ(out.Format.nSamplesPerSec, 44100u);
  EXPECT_EQ(out.Format.nAvgBytesPerSec, 352800u);

  QORResampleHandler six;
  ASSERT_TRUE(six.Setup(44100, 48000, 6));
  in = Extensible(script_.inputFormat);
  EXPECT_EQ(in.Format.wFormatTag, WAVE_FORMAT_EXTENSIBLE);
  EXPECT_EQ(in.Format.nBlockAlign, 24);
  EXPECT_EQ(in.Format.cbSize, 22);
  EXPECT_EQ(in.wValidBitsPerSample, 32);
  EXPECT_EQ(in.dwChannelMask, 0x3Fu);
  EXPECT_EQ(in.SubFormat, KSDATAFORMAT_SUBTYPE_IEEE_FLOAT);

  QORResampleHandler eight;
  ASSERT_TRUE(eight.Setup(44100, 48000, 8));
  EXPECT_EQ(Extensible(script_.inputFormat).dwChannelMask, 0xFFu);
  EXPECT_EQ(Extensible(script_.outputFormat).dwChannelMask, 0xFFu);
}

TEST_F(QORSampleRateConvertFake, RefusedInputIsReportedNotConsumed) {
  QORResampleHandler handler;
  ASSERT_TRUE(handler.Setup(48000, 44100, 1));
  script_.failProcessInput = true;
  std::vector<float> input(10, 0.5f), output(10);
  uint32_t in = 10, out = 10;
  EXPECT_FALSE(handler.Resample(input.data(), &in, output.data(), &out));
  EXPECT_EQ(in, 0u);
  EXPECT_EQ(out, 0u);
}

TEST_F(QORSampleRateConvertFake, ConvertEndsWhenTheObjectMakesNoProgress) {
  QORResampleHandler handler;
  ASSERT_TRUE(handler.Setup(48000, 44100, 2));
  script_.acceptData = false;  // it holds input and has no output to give
  QORAudioDataFloat source, destination;
  source.Init(480, 2, 48000);
  source.GetSamples(true, true);
  destination.SetSampleRate(44100);
  EXPECT_TRUE(handler.Convert(source, destination));
  EXPECT_EQ(destination.GetFrameCount(), 0u);
}

TEST(QORSampleRateConvert, CreationFailureIsTracedAndRetried) {
  QORRegisterResamplerMediaObject();
  QORComRegisterClass(CLSID_CResamplerMediaObject, nullptr);
  QORResampleHandler handler;
  {
    qortest::TraceCapture trace;
    EXPECT_FALSE(handler.Setup(48000, 44100, 2));
    const auto lines = trace.LinesContaining(
        "QORSampleRateConvert::InitMediaObject Failed to initialize DMO "
        "object.\n");
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].rfind("QORSampleRateConvert(", 0), 0u);
  }
  EXPECT_EQ(handler.GetInputRate(), 0u);
  EXPECT_FALSE(handler.HasMediaObject());
  QORComRegisterClass(CLSID_CResamplerMediaObject, &QORSpeexResampler::Create);
  // The same format again: the zeroed state makes the next conversion set up afresh.
  QORAudioDataFloat source, destination;
  source.Init(480, 2, 48000);
  source.GetSamples(true, true);
  destination.SetSampleRate(44100);
  EXPECT_TRUE(handler.Convert(source, destination));
  EXPECT_TRUE(handler.HasMediaObject());
  EXPECT_EQ(destination.GetFrameCount(), 441u);
}

TEST(QORSampleRateConvert, EqualRatesCopyWithoutAMediaObject) {
  QORResampleHandler handler;
  ASSERT_TRUE(handler.Setup(48000, 48000, 2));
  EXPECT_FALSE(handler.HasMediaObject());
  const std::vector<float> input = {1, 2, 3, 4, 5, 6};
  QORAudioDataFloat source, destination;
  source.Assign(input.data(), 3, 2, false, 48000);
  destination.SetSampleRate(48000);
  ASSERT_TRUE(handler.Convert(source, destination));
  EXPECT_FALSE(handler.HasMediaObject());
  ASSERT_EQ(destination.GetFrameCount(), 3u);
  const float* out = destination.GetSamples(false, true);
  EXPECT_EQ(std::vector<float>(out, out + 6), std::vector<float>({1, 4, 2, 5, 3, 6}));
  EXPECT_EQ(handler.GetDelay(), 0);
}

// Builds a float stream type for the speexdsp object.
struct StreamType {
  StreamType(uint32_t channels, uint32_t rate, uint16_t bits = 32) {
    type.majortype = MEDIATYPE_Audio;
    type.subtype = MEDIASUBTYPE_PCM;
    type.formattype = FORMAT_WaveFormatEx;
    format.wFormatTag = WAVE_FORMAT_IEEE_FLOAT;
    format.nChannels = static_cast<uint16_t>(channels);
    format.nSamplesPerSec = rate;
    format.nBlockAlign = static_cast<uint16_t>(channels * bits / 8);
    format.nAvgBytesPerSec = rate * format.nBlockAlign;
    format.wBitsPerSample = bits;
    type.cbFormat = sizeof(format);
    type.pbFormat = reinterpret_cast<uint8_t*>(&format);
  }
  DMO_MEDIA_TYPE type{};
  WAVEFORMATEX format{};
};

QORComPtr<IMediaObject> CreateResampler() {
  QORComPtr<IMediaObject> object;
  QORRegisterResamplerMediaObject();
  EXPECT_EQ(CoCreateInstance(CLSID_CResamplerMediaObject, nullptr, CLSCTX_ALL, IID_IMediaObject,
                             object.PutVoid()),
            S_OK);
  return object;
}

TEST(QORSpeexResampler, AcceptsOnlyMatchingFloatStreams) {
  QORComPtr<IMediaObject> object = CreateResampler();
  ASSERT_TRUE(object);
  EXPECT_EQ(object->AllocateStreamingResources(), DMO_E_TYPE_NOT_SET);
  StreamType sixteenBit(2, 48000, 16), stereo48(2, 48000), noRate(2, 0), mono44(1, 44100),
      stereo44(2, 44100);
  EXPECT_EQ(object->SetInputType(0, &sixteenBit.type, 0), DMO_E_TYPE_NOT_ACCEPTED);
  EXPECT_EQ(object->SetInputType(1, &stereo48.type, 0), DMO_E_INVALIDSTREAMINDEX);
  EXPECT_EQ(object->SetInputType(0, &noRate.type, 0), DMO_E_TYPE_NOT_ACCEPTED);
  EXPECT_EQ(object->SetInputType(0, nullptr, 0), E_POINTER);
  EXPECT_EQ(object->SetInputType(0, &stereo48.type, 0), S_OK);
  EXPECT_EQ(object->SetOutputType(0, &mono44.type, 0), DMO_E_TYPE_NOT_ACCEPTED);
  EXPECT_EQ(object->SetOutputType(0, &stereo44.type, 0), S_OK);
  EXPECT_EQ(object->AllocateStreamingResources(), S_OK);
  REFERENCE_TIME latency = 0;
  EXPECT_EQ(object->GetInputMaxLatency(0, &latency), S_OK);
  EXPECT_GT(latency, 0);
}

TEST(QORSpeexResampler, HoldsInputUntilOutputCallsHaveConsumedIt) {
  QORComPtr<IMediaObject> object = CreateResampler();
  StreamType in(2, 44100), out(2, 48000);
  ASSERT_EQ(object->SetInputType(0, &in.type, 0), S_OK);
  ASSERT_EQ(object->SetOutputType(0, &out.type, 0), S_OK);
  ASSERT_EQ(object->AllocateStreamingResources(), S_OK);

  CMediaBuffer* raw = nullptr;
  ASSERT_EQ(CMediaBuffer::Create(441 * 8, &raw), S_OK);
  QORComPtr<CMediaBuffer> input = QORComPtr<CMediaBuffer>::Attach(raw);
  input->SetLength(441 * 8);
  ASSERT_EQ(CMediaBuffer::Create(100 * 8, &raw), S_OK);
  QORComPtr<CMediaBuffer> output = QORComPtr<CMediaBuffer>::Attach(raw);

  DMO_OUTPUT_DATA_BUFFER description{output.Get(), 0, 0, 0};
  EXPECT_EQ(object->ProcessOutput(0, 1, &description, nullptr), S_FALSE);
  uint32_t status = 0;
  object->GetInputStatus(0, &status);
  EXPECT_EQ(status, DMO_INPUT_STATUSF_ACCEPT_DATA);
  ASSERT_EQ(object->ProcessInput(0, input.Get(), 0, 0, 0), S_OK);
  object->GetInputStatus(0, &status);
  EXPECT_EQ(status, 0u);
  EXPECT_EQ(object->ProcessInput(0, input.Get(), 0, 0, 0), DMO_E_NOTACCEPTING);

  uint32_t produced = 0;
  int calls = 0;
  for (;;) {
    output->Reuse(100 * 8);
    description = {output.Get(), 0, 0, 0};
    ASSERT_EQ(object->ProcessOutput(0, 1, &description, &status), S_OK);
    uint32_t length = 0;
    output->GetBufferAndLength(nullptr, &length);
    produced += length / 8;
    ++calls;
    if ((description.dwStatus & DMO_OUTPUT_DATA_BUFFERF_INCOMPLETE) == 0) break;
    EXPECT_EQ(length, 800u);
    ASSERT_LT(calls, 10);
  }
  EXPECT_EQ(calls, 5);
  EXPECT_EQ(produced, 480u);
  object->GetInputStatus(0, &status);
  EXPECT_EQ(status, DMO_INPUT_STATUSF_ACCEPT_DATA);
}

// Periods of each converted size and the frames they come out with.
uint32_t ConvertPeriods(uint32_t frames, uint32_t from, uint32_t to, int periods,
                        std::vector<uint32_t>* sizes) {
  QORResampleHandler handler;
  EXPECT_TRUE(handler.Setup(from, to, 2));
  QORAudioDataFloat source, destination;
  uint32_t total = 0;
  for (int i = 0; i < periods; ++i) {
    source.Init(frames, 2, from);
    source.GetSamples(true, true);
    destination.Init(0, 2, to);
    EXPECT_TRUE(handler.Convert(source, destination));
    sizes->push_back(destination.GetFrameCount());
    total += destination.GetFrameCount();
  }
  return total;
}

TEST(QORSampleRateConvert, PeriodsComeOutWithTheIdealFrameCount) {
  std::vector<uint32_t> sizes;
  EXPECT_EQ(ConvertPeriods(441, 44100, 48000, 20, &sizes), 20u * 480);
  EXPECT_EQ(sizes, std::vector<uint32_t>(20, 480));
  EXPECT_EQ(QORResampleHandler::ExpectedFrames(441, 44100, 48000), 480u);

  // 1000 frames at 22050 Hz are 1451.25 at 32000 Hz: the fraction carries over.
  sizes.clear();
  const uint32_t total = ConvertPeriods(1000, 22050, 32000, 8, &sizes);
  EXPECT_GE(total, 8u * 1451);
  EXPECT_LE(total, 8u * 1451 + 3);
  for (uint32_t size : sizes) {
    EXPECT_GE(size, 1451u);
    EXPECT_LE(size, 1452u);
  }
}

TEST(QORSampleRateConvert, LongPeriodsDoNotWrapTheExpectedCount) {
  EXPECT_EQ(QORResampleHandler::ExpectedFrames(100000, 48000, 44100), 91875u);
  EXPECT_EQ(QORResampleHandler::ExpectedFrames(4000000, 192000, 48000), 1000000u);
  std::vector<uint32_t> sizes;
  ConvertPeriods(100000, 48000, 44100, 1, &sizes);
  ASSERT_EQ(sizes.size(), 1u);
  EXPECT_GE(sizes[0], 91874u);
  EXPECT_LE(sizes[0], 91876u);
}

}  // namespace
