#pragma once

#include <cstdint>
#include <vector>

#include "platform/IMediaObject.h"
#include "platform/QORComObject.h"

struct SpeexResamplerState_;

// The resampler media object over the speexdsp resampler: interleaved 32-bit float, one stream
// each way with the same channel count. ProcessInput copies the whole buffer into a hold store
// sized when streaming resources are allocated; ProcessOutput converts from it as far as the
// output buffer has room, so input may be consumed over several output calls.
class QORSpeexResampler : public QORComObject<IMediaObject> {
 public:
  // Flat to 20 kHz with THD+N at or below -120 dB, at about 100 times real time for stereo.
  static constexpr int kDefaultQuality = 8;

  static HRESULT Create(REFIID iid, void** object);

  HRESULT QueryInterface(REFIID iid, void** object) override;
  HRESULT SetInputType(uint32_t stream, const DMO_MEDIA_TYPE* type, uint32_t flags) override;
  HRESULT SetOutputType(uint32_t stream, const DMO_MEDIA_TYPE* type, uint32_t flags) override;
  HRESULT GetInputMaxLatency(uint32_t stream, REFERENCE_TIME* latency) override;
  HRESULT Flush() override;
  HRESULT AllocateStreamingResources() override;
  HRESULT FreeStreamingResources() override;
  HRESULT GetInputStatus(uint32_t stream, uint32_t* flags) override;
  HRESULT ProcessInput(uint32_t stream, IMediaBuffer* buffer, uint32_t flags,
                       REFERENCE_TIME timestamp, REFERENCE_TIME timelength) override;
  HRESULT ProcessOutput(uint32_t flags, uint32_t bufferCount, DMO_OUTPUT_DATA_BUFFER* buffers,
                        uint32_t* status) override;

 private:
  struct StreamFormat {
    uint32_t channels = 0;
    uint32_t rate = 0;
  };

  QORSpeexResampler() = default;
  ~QORSpeexResampler() override;

  static bool ParseType(const DMO_MEDIA_TYPE& type, StreamFormat* format);
  HRESULT SetType(uint32_t stream, const DMO_MEDIA_TYPE* type, uint32_t flags, bool input);

  StreamFormat input_;
  StreamFormat output_;
  SpeexResamplerState_* state_ = nullptr;
  // Input taken but not yet converted: samples [holdRead_, holdEnd_) of hold_.
  std::vector<float> hold_;
  size_t holdRead_ = 0;
  size_t holdEnd_ = 0;
};
