#include "platform/posix/QORSpeexResampler.h"

#include <gtest/gtest.h>

#include <vector>

#include "audio/CMediaBuffer.h"
#include "audio/QORAudioDataFloat.h"
#include "audio/QORResampleHandler.h"
#include "platform/QORComApi.h"
#include "platform/QORComPtr.h"
#include "platform/QORMediaObjectApi.h"

namespace {

TEST(QORSpeexResampler, HoldsInputUntilOutputCallsHaveConsumedIt) {
  QORComPtr<IMediaObject> object;
  QORRegisterResamplerMediaObject();
  ASSERT_EQ(CoCreateInstance(CLSID_CResamplerMediaObject, nullptr, CLSCTX_ALL, IID_IMediaObject,
                             object.PutVoid()),
            S_OK);
  WAVEFORMATEX formats[] = {{WAVE_FORMAT_IEEE_FLOAT, 2, 44100, 44100 * 8, 8, 32, 0},
                            {WAVE_FORMAT_IEEE_FLOAT, 2, 48000, 48000 * 8, 8, 32, 0}};
  for (int i = 0; i < 2; ++i) {
    const DMO_MEDIA_TYPE type{MEDIATYPE_Audio,
                              MEDIASUBTYPE_PCM,
                              0,
                              0,
                              0,
                              FORMAT_WaveFormatEx,
                              nullptr,
                              sizeof(WAVEFORMATEX),
                              reinterpret_cast<uint8_t*>(&formats[i])};
    ASSERT_EQ(i == 0 ? object->SetInputType(0, &type, 0) : object->SetOutputType(0, &type, 0),
              S_OK);
  }
  ASSERT_EQ(object->AllocateStreamingResources(), S_OK);
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
    output->GetBufferAndLength(nullptr, &lengths.emplace_back(0));
    ASSERT_LT(lengths.size(), 10u);
  } while (description.dwStatus & DMO_OUTPUT_DATA_BUFFERF_INCOMPLETE);
  EXPECT_EQ(lengths, std::vector<uint32_t>({800, 800, 800, 800, 640}));
  object->GetInputStatus(0, &status);
  EXPECT_EQ(status, DMO_INPUT_STATUSF_ACCEPT_DATA);
}

// A stand-in media object that takes any type and refuses all input.
class RefusingMediaObject : public QORComObject<IMediaObject> {
 public:
  static HRESULT Create(REFIID, void** object) {
    *object = static_cast<IMediaObject*>(new RefusingMediaObject());
    return S_OK;
  }
  HRESULT QueryInterface(REFIID, void**) override { return E_NOINTERFACE; }
  HRESULT SetInputType(uint32_t, const DMO_MEDIA_TYPE*, uint32_t) override { return S_OK; }
  HRESULT SetOutputType(uint32_t, const DMO_MEDIA_TYPE*, uint32_t) override { return S_OK; }
  HRESULT GetInputMaxLatency(uint32_t, REFERENCE_TIME*) override { return E_NOTIMPL; }
  HRESULT Flush() override { return S_OK; }
  HRESULT AllocateStreamingResources() override { return S_OK; }
  HRESULT FreeStreamingResources() override { return S_OK; }
  HRESULT GetInputStatus(uint32_t, uint32_t* flags) override {
    *flags = DMO_INPUT_STATUSF_ACCEPT_DATA;
    return S_OK;
  }
  HRESULT ProcessInput(uint32_t, IMediaBuffer*, uint32_t, REFERENCE_TIME, REFERENCE_TIME) override {
    return E_FAIL;
  }
  HRESULT ProcessOutput(uint32_t, uint32_t, DMO_OUTPUT_DATA_BUFFER*, uint32_t*) override {
    return S_OK;
  }
};

TEST(QORSampleRateConvert, RefusedInputIsReportedNotConsumed) {
  QORRegisterResamplerMediaObject();
  QORComRegisterClass(CLSID_CResamplerMediaObject, &RefusingMediaObject::Create);
  QORResampleHandler handler;
  const bool setUp = handler.Setup(48000, 44100, 2);
  QORComRegisterClass(CLSID_CResamplerMediaObject, &QORSpeexResampler::Create);
  ASSERT_TRUE(setUp);
  std::vector<float> samples(10, 0.5f);
  uint32_t in = 10, out = 10;
  EXPECT_FALSE(handler.Resample(samples.data(), &in, samples.data(), &out));
  EXPECT_EQ(in + out, 0u);
  // A converter that takes nothing and gives nothing must not keep Convert looping.
  QORAudioDataFloat source, converted;
  source.Assign(samples.data(), 5, 2, true, 48000);
  converted.Init(0, 2, 44100);
  handler.Convert(source, converted);
  EXPECT_EQ(converted.GetFrameCount(), 0u);
}

}  // namespace
