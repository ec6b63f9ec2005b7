#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <vector>

#include "AudioTestSupport.h"
#include "TraceCapture.h"
#include "audio/CMediaBuffer.h"
#include "audio/QORAudioDataFloat.h"
#include "audio/QORResampleHandler.h"
#include "platform/QORComApi.h"
#include "platform/QORComPtr.h"
#include "platform/QORMediaObjectApi.h"
#include "platform/posix/QORSpeexResampler.h"

namespace {

TEST(CMediaBuffer, LengthStaysWithinTheMaximumAndReuseNarrowsIt) {
  CMediaBuffer* buffer = nullptr;
  EXPECT_EQ(CMediaBuffer::Create(4, nullptr), E_POINTER);
  ASSERT_EQ(CMediaBuffer::Create(16, &buffer), S_OK);
  uint32_t max = 0, length = 99;
  uint8_t *bytes = nullptr, *only = nullptr;
  EXPECT_EQ(buffer->GetMaxLength(&max), S_OK);
  EXPECT_EQ(buffer->SetLength(17), E_INVALIDARG);
  EXPECT_EQ(buffer->SetLength(16), S_OK);
  EXPECT_EQ(buffer->GetBufferAndLength(&bytes, &length), S_OK);
  EXPECT_EQ(buffer->GetBufferAndLength(&only, nullptr), S_OK);
  EXPECT_TRUE(max == 16 && length == 16 && bytes != nullptr && only == bytes);
  EXPECT_EQ(buffer->GetBufferAndLength(nullptr, nullptr), E_POINTER);
  EXPECT_FALSE(buffer->Reuse(17));  // beyond the storage
  EXPECT_TRUE(buffer->Reuse(8));
  EXPECT_EQ(buffer->SetLength(9), E_INVALIDARG);
  buffer->GetBufferAndLength(nullptr, &length);
  EXPECT_EQ(length, 0u);
  void* object = buffer;
  EXPECT_EQ(buffer->QueryInterface(IID_IMediaObject, &object), E_NOINTERFACE);
  EXPECT_EQ(object, nullptr);
  EXPECT_EQ(buffer->QueryInterface(IID_IUnknown, &object), S_OK);
  EXPECT_EQ(object, static_cast<IMediaBuffer*>(buffer));
  EXPECT_EQ(buffer->Release(), 1u);
  EXPECT_EQ(buffer->Release(), 0u);  // freed, or the sanitizer build reports a leak
}

// What the stand-in media object saw, and how it answers. It never gives output.
struct FakeScript {
  DMO_MEDIA_TYPE inputType{};  // its format pointer is stale after the call
  WAVEFORMATEXTENSIBLE input{}, output{};
  bool failProcessInput = false, acceptData = true;
};
FakeScript script;

WAVEFORMATEXTENSIBLE Format(const DMO_MEDIA_TYPE* type) {
  WAVEFORMATEXTENSIBLE format{};
  std::memcpy(&format, type->pbFormat, std::min<size_t>(type->cbFormat, sizeof(format)));
  return format;
}

class FakeMediaObject : public QORComObject<IMediaObject> {
 public:
  static HRESULT Create(REFIID, void** object) {
    *object = static_cast<IMediaObject*>(new FakeMediaObject());
    return S_OK;
  }
  HRESULT QueryInterface(REFIID, void**) override { return E_NOINTERFACE; }
  HRESULT SetInputType(uint32_t, const DMO_MEDIA_TYPE* type, uint32_t) override {
    script.inputType = *type;
    script.input = Format(type);
    return S_OK;
  }
  HRESULT SetOutputType(uint32_t, const DMO_MEDIA_TYPE* type, uint32_t) override {
    script.output = Format(type);
    return S_OK;
  }
  HRESULT GetInputMaxLatency(uint32_t, REFERENCE_TIME*) override { return E_NOTIMPL; }
  HRESULT Flush() override { return S_OK; }
  HRESULT AllocateStreamingResources() override { return S_OK; }
  HRESULT FreeStreamingResources() override { return S_OK; }
  HRESULT GetInputStatus(uint32_t, uint32_t* flags) override {
    *flags = script.acceptData ? DMO_INPUT_STATUSF_ACCEPT_DATA : 0;
    return S_OK;
  }
  HRESULT ProcessInput(uint32_t, IMediaBuffer*, uint32_t, REFERENCE_TIME, REFERENCE_TIME) override {
    return script.failProcessInput ? E_FAIL : S_OK;
  }
  HRESULT ProcessOutput(uint32_t, uint32_t, DMO_OUTPUT_DATA_BUFFER*, uint32_t*) override {
    return S_OK;
  }
};

// Puts the stand-in in place of the platform's resampler while a test runs.
class QORSampleRateConvertFake : public ::testing::Test {
 protected:
  void SetUp() override {
    QORRegisterResamplerMediaObject();
    script = {};
    QORComRegisterClass(CLSID_CResamplerMediaObject, &FakeMediaObject::Create);
  }
  void TearDown() override {
    QORComRegisterClass(CLSID_CResamplerMediaObject, &QORSpeexResampler::Create);
  }
};

// The platform object refuses a wrong tag, sub-format, block size or sample width; the rest of the
// description only a stand-in can see.
TEST_F(QORSampleRateConvertFake, DescribesFloatStreamsInTheFormLayoutsNeed) {
  for (uint32_t channels : {2u, 6u, 8u}) {
    SCOPED_TRACE(channels);
    QORResampleHandler handler;
    ASSERT_TRUE(handler.Setup(48000, 44100, channels));
    const DMO_MEDIA_TYPE& type = script.inputType;
    EXPECT_TRUE(type.bFixedSizeSamples && !type.bTemporalCompression && type.cbFormat == 40);
    EXPECT_EQ(type.lSampleSize, 4 * channels);
    const bool extensible = channels > 2;
    for (const WAVEFORMATEXTENSIBLE& f : {script.input, script.output}) {
      EXPECT_EQ(f.Format.wFormatTag, extensible ? WAVE_FORMAT_EXTENSIBLE : WAVE_FORMAT_IEEE_FLOAT);
      EXPECT_EQ(f.Format.nAvgBytesPerSec, f.Format.nSamplesPerSec * 4 * channels);
      EXPECT_EQ(f.Format.cbSize, extensible ? 22 : 0);
      EXPECT_EQ(f.wValidBitsPerSample, extensible ? 32 : 0);
      EXPECT_EQ(f.dwChannelMask, channels == 8 ? 0xFFu : extensible ? 0x3Fu : 0u);
    }
  }
}

TEST_F(QORSampleRateConvertFake, RefusedInputOrNoProgressEndTheConversion) {
  QORResampleHandler handler;
  ASSERT_TRUE(handler.Setup(48000, 44100, 2));
  script.failProcessInput = true;
  std::vector<float> samples(10, 0.5f);
  uint32_t in = 10, out = 10;
  EXPECT_FALSE(handler.Resample(samples.data(), &in, samples.data(), &out));
  EXPECT_EQ(in + out, 0u);  // refused input is reported, not consumed
  script.failProcessInput = false;
  script.acceptData = false;  // holds input and has no output to give
  QORAudioDataFloat source, destination;
  source.Init(480, 2, 48000);
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
        "QORSampleRateConvert::InitMediaObject Failed to initialize DMO object.\n");
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].rfind("QORSampleRateConvert(", 0), 0u);
  }
  EXPECT_EQ(handler.GetInputRate(), 0u);
  EXPECT_FALSE(handler.HasMediaObject());
  QORComRegisterClass(CLSID_CResamplerMediaObject, &QORSpeexResampler::Create);
  // The same format again: the zeroed state makes the next conversion set up afresh.
  QORAudioDataFloat source, destination;
  source.Init(480, 2, 48000);
  destination.SetSampleRate(44100);
  EXPECT_TRUE(handler.Convert(source, destination));
  EXPECT_TRUE(handler.HasMediaObject());
  EXPECT_EQ(destination.GetFrameCount(), 441u);
}

TEST(QORSampleRateConvert, EqualRatesCopyWithoutAMediaObject) {
  QORResampleHandler handler;
  ASSERT_TRUE(handler.Setup(48000, 48000, 2));
  const std::vector<float> input = qortest::Ramp(6);
  QORAudioDataFloat source, destination;
  source.Assign(input.data(), 3, 2, false, 48000);
  destination.SetSampleRate(48000);
  ASSERT_TRUE(handler.Convert(source, destination));
  EXPECT_FALSE(handler.HasMediaObject());
  EXPECT_EQ(handler.GetDelay(), 0);
  EXPECT_EQ(qortest::Samples(destination), std::vector<float>({1, 4, 2, 5, 3, 6}));
}

// Builds a float stream type for the platform's object.
struct StreamType {
  StreamType(uint16_t channels, uint32_t rate, uint16_t bits = 32) {
    type.majortype = MEDIATYPE_Audio;
    type.subtype = MEDIASUBTYPE_PCM;
    type.formattype = FORMAT_WaveFormatEx;
    const auto align = static_cast<uint16_t>(channels * bits / 8);
    format = {WAVE_FORMAT_IEEE_FLOAT, channels, rate, rate * align, align, bits, 0};
    type.cbFormat = sizeof(format);
    type.pbFormat = reinterpret_cast<uint8_t*>(&format);
  }
  DMO_MEDIA_TYPE type{};
  WAVEFORMATEX format{};
};

QORComPtr<IMediaObject> CreateResampler(uint32_t inRate, uint32_t outRate) {
  QORComPtr<IMediaObject> object;
  QORRegisterResamplerMediaObject();
  EXPECT_EQ(CoCreateInstance(CLSID_CResamplerMediaObject, nullptr, CLSCTX_ALL, IID_IMediaObject,
                             object.PutVoid()),
            S_OK);
  StreamType in(2, inRate), out(2, outRate);
  if (inRate != 0) {
    EXPECT_EQ(object->SetInputType(0, &in.type, 0), S_OK);
    EXPECT_EQ(object->SetOutputType(0, &out.type, 0), S_OK);
    EXPECT_EQ(object->AllocateStreamingResources(), S_OK);
  }
  return object;
}

TEST(QORSpeexResampler, AcceptsOnlyMatchingFloatStreams) {
  QORComPtr<IMediaObject> object = CreateResampler(0, 0);
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
  QORComPtr<IMediaObject> object = CreateResampler(44100, 48000);
  CMediaBuffer *input = nullptr, *output = nullptr;
  ASSERT_EQ(CMediaBuffer::Create(441 * 8, &input), S_OK);
  ASSERT_EQ(CMediaBuffer::Create(100 * 8, &output), S_OK);
  auto in = QORComPtr<CMediaBuffer>::Attach(input), out = QORComPtr<CMediaBuffer>::Attach(output);
  input->SetLength(441 * 8);
  DMO_OUTPUT_DATA_BUFFER description{output, 0, 0, 0};
  uint32_t status = 0;
  EXPECT_EQ(object->ProcessOutput(0, 1, &description, nullptr), S_FALSE);  // nothing held yet
  ASSERT_EQ(object->ProcessInput(0, input, 0, 0, 0), S_OK);
  object->GetInputStatus(0, &status);
  EXPECT_EQ(status, 0u);
  EXPECT_EQ(object->ProcessInput(0, input, 0, 0, 0), DMO_E_NOTACCEPTING);
  // 480 frames leave through a buffer of 100: four full calls and a last of 80.
  std::vector<uint32_t> lengths;
  do {
    output->Reuse(100 * 8);
    description = {output, 0, 0, 0};
    ASSERT_EQ(object->ProcessOutput(0, 1, &description, &status), S_OK);
    lengths.push_back(0);
    output->GetBufferAndLength(nullptr, &lengths.back());
    ASSERT_LT(lengths.size(), 10u);
  } while (description.dwStatus & DMO_OUTPUT_DATA_BUFFERF_INCOMPLETE);
  EXPECT_EQ(lengths, std::vector<uint32_t>({800, 800, 800, 800, 640}));
  object->GetInputStatus(0, &status);
  EXPECT_EQ(status, DMO_INPUT_STATUSF_ACCEPT_DATA);
}

}  // namespace
