#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <vector>

#include "AudioTestSupport.h"
#include "audio/CMediaBuffer.h"
#include "audio/QORAudioDataFloat.h"
#include "audio/QORResampleHandler.h"
#include "platform/QORComApi.h"
#include "platform/QORComPtr.h"
#include "platform/QORMediaObjectApi.h"
#include "platform/posix/QORSpeexResampler.h"

namespace {

// What the stand-in media object saw. It never gives output.
struct FakeScript {
  DMO_MEDIA_TYPE inputType{};  // its format pointer is stale after the call
  WAVEFORMATEXTENSIBLE input{}, output{};
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
    *flags = DMO_INPUT_STATUSF_ACCEPT_DATA;
    return S_OK;
  }
  HRESULT ProcessInput(uint32_t, IMediaBuffer*, uint32_t, REFERENCE_TIME, REFERENCE_TIME) override {
    return S_OK;
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
  StreamType sixteenBit(2, 48000, 16), stereo48(2, 48000), mono44(1, 44100), stereo44(2, 44100);
  EXPECT_EQ(object->SetInputType(0, &sixteenBit.type, 0), DMO_E_TYPE_NOT_ACCEPTED);
  EXPECT_EQ(object->SetInputType(0, &stereo48.type, 0), S_OK);
  EXPECT_EQ(object->SetOutputType(0, &mono44.type, 0), DMO_E_TYPE_NOT_ACCEPTED);
  EXPECT_EQ(object->SetOutputType(0, &stereo44.type, 0), S_OK);
  EXPECT_EQ(object->AllocateStreamingResources(), S_OK);
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
