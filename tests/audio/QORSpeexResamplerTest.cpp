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
