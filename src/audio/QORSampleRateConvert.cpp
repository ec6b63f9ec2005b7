#include "audio/QORSampleRateConvert.h"

#include <algorithm>
#include <cstring>

#include "common/QORTrace.h"
#include "platform/QORComApi.h"
#include "platform/QORMediaObjectApi.h"

namespace {

constexpr uint32_t kBytesPerSample = 4;
constexpr uint32_t kExtensibleFromChannels = 3;
constexpr uint32_t kMask51 = 0x3F;
constexpr uint32_t kMask71 = 0xFF;

void FillWaveFormat(uint8_t* block, uint32_t channels, uint32_t rate) {
  WAVEFORMATEXTENSIBLE format{};
  const bool extensible = channels >= kExtensibleFromChannels;
  format.Format.wFormatTag = extensible ? WAVE_FORMAT_EXTENSIBLE : WAVE_FORMAT_IEEE_FLOAT;
  format.Format.nChannels = static_cast<uint16_t>(channels);
  format.Format.nSamplesPerSec = rate;
  format.Format.nBlockAlign = static_cast<uint16_t>(channels * kBytesPerSample);
  format.Format.nAvgBytesPerSec = format.Format.nBlockAlign * rate;
  format.Format.wBitsPerSample = 32;
  if (extensible) {
    format.Format.cbSize = sizeof(WAVEFORMATEXTENSIBLE) - sizeof(WAVEFORMATEX);
    format.Samples.wValidBitsPerSample = 32;
    format.dwChannelMask = channels > 6 ? kMask71 : kMask51;
    format.SubFormat = KSDATAFORMAT_SUBTYPE_IEEE_FLOAT;
    std::memcpy(block, &format, sizeof(WAVEFORMATEXTENSIBLE));
  } else {
    std::memcpy(block, &format.Format, sizeof(WAVEFORMATEX));
  }
}

}  // namespace

QORSampleRateConvert::~QORSampleRateConvert() {
  if (mediaObject_) mediaObject_->FreeStreamingResources();
}

bool QORSampleRateConvert::StoreFormat(uint32_t inputRate, uint32_t outputRate, uint32_t channels) {
  const bool changed =
      inputRate != inputRate_ || outputRate != outputRate_ || channels != channels_;
  inputRate_ = inputRate;
  outputRate_ = outputRate;
  channels_ = channels;
  return changed;
}

bool QORSampleRateConvert::SetStreamType(bool input, uint32_t channels) {
  DMO_MEDIA_TYPE* type = nullptr;
  // The format block is always 40 bytes; the plain form uses its first 18.
  if (FAILED(MoCreateMediaType(&type, sizeof(WAVEFORMATEXTENSIBLE)))) return false;
  type->majortype = MEDIATYPE_Audio;
  type->subtype = MEDIASUBTYPE_PCM;
  type->bFixedSizeSamples = 1;
  type->bTemporalCompression = 0;
  type->lSampleSize = channels * kBytesPerSample;
  type->formattype = FORMAT_WaveFormatEx;
  type->pUnk = nullptr;
  FillWaveFormat(type->pbFormat, channels, input ? inputRate_ : outputRate_);
  const HRESULT hr =
      input ? mediaObject_->SetInputType(0, type, 0) : mediaObject_->SetOutputType(0, type, 0);
  MoDeleteMediaType(type);
  return SUCCEEDED(hr);
}

bool QORSampleRateConvert::InitMediaObject(uint32_t channels) {
  if (inputRate_ == 0 || outputRate_ == 0 || channels == 0) return false;
  if (inputRate_ == outputRate_) return true;
  if (!mediaObject_) {
    QORRegisterResamplerMediaObject();
    if (FAILED(QORCoCreateInstance(CLSID_CResamplerMediaObject, nullptr, CLSCTX_ALL,
                                   IID_IMediaObject, mediaObject_.PutVoid()))) {
      QORTrace({"QORSampleRateConvert", __LINE__, "QORSampleRateConvert::InitMediaObject"},
               "QORSampleRateConvert::InitMediaObject Failed to initialize DMO object.\n");
      return false;
    }
  }
  mediaObject_->FreeStreamingResources();
  if (!SetStreamType(true, channels)) {
    mediaObject_.Reset();
    return false;
  }
  const bool ok =
      SetStreamType(false, channels) && SUCCEEDED(mediaObject_->AllocateStreamingResources());
  if (!ok) mediaObject_.Reset();
  return ok;
}

CMediaBuffer* QORSampleRateConvert::Acquire(QORComPtr<CMediaBuffer>& slot, uint32_t bytes) {
  if (slot && slot->Reuse(bytes)) return slot.Get();
  CMediaBuffer* created = nullptr;
  if (FAILED(CMediaBuffer::Create(bytes, &created))) return nullptr;
  slot = QORComPtr<CMediaBuffer>::Attach(created);
  return created;
}

void QORSampleRateConvert::ReserveSamples(uint32_t inputCount, uint32_t outputCount) {
  if (!inputBuffer_ || inputBuffer_->GetCapacity() < inputCount * kBytesPerSample) {
    Acquire(inputBuffer_, inputCount * kBytesPerSample);
  }
  if (!outputBuffer_ || outputBuffer_->GetCapacity() < outputCount * kBytesPerSample) {
    Acquire(outputBuffer_, outputCount * kBytesPerSample);
  }
}

bool QORSampleRateConvert::Resample(const float* input, uint32_t* inputCount, float* output,
                                    uint32_t* outputCount) {
  if (inputRate_ == outputRate_) {
    const uint32_t count = std::min(*inputCount, *outputCount);
    if (count != 0) std::memcpy(output, input, count * kBytesPerSample);
    *inputCount = *outputCount = count;
    return true;
  }
  if (!mediaObject_) {
    *inputCount = *outputCount = 0;
    return false;
  }
  uint32_t status = 0;
  mediaObject_->GetInputStatus(0, &status);
  if (status == DMO_INPUT_STATUSF_ACCEPT_DATA) {
    CMediaBuffer* buffer = Acquire(inputBuffer_, *inputCount * kBytesPerSample);
    if (buffer == nullptr) {
      *inputCount = *outputCount = 0;
      return false;
    }
    uint8_t* bytes = nullptr;
    buffer->SetLength(*inputCount * kBytesPerSample);
    buffer->GetBufferAndLength(&bytes, nullptr);
    if (*inputCount != 0) std::memcpy(bytes, input, *inputCount * kBytesPerSample);
    const HRESULT hr = mediaObject_->ProcessInput(0, buffer, 0, 0, 0);
    if (hr == S_FALSE) {
      *outputCount = 0;
      return true;
    }
    // Input the object refused is not consumed, and the caller must learn of it.
    if (FAILED(hr)) {
      *inputCount = *outputCount = 0;
      return false;
    }
  } else {
    *inputCount = 0;
  }
  CMediaBuffer* buffer = Acquire(outputBuffer_, *outputCount * kBytesPerSample);
  if (buffer == nullptr) {
    *outputCount = 0;
    return false;
  }
  DMO_OUTPUT_DATA_BUFFER description{buffer, 0, 0, 0};
  uint32_t outputStatus = 0;
  const HRESULT hr = mediaObject_->ProcessOutput(0, 1, &description, &outputStatus);
  if (hr == S_FALSE || FAILED(hr)) {
    *outputCount = 0;
  } else if (*outputCount != 0) {
    uint8_t* bytes = nullptr;
    uint32_t length = 0;
    buffer->GetBufferAndLength(&bytes, &length);
    *outputCount = length / kBytesPerSample;
    if (*outputCount != 0) std::memcpy(output, bytes, *outputCount * kBytesPerSample);
  }
  return SUCCEEDED(hr);
}

int64_t QORSampleRateConvert::GetDelay() const {
  REFERENCE_TIME delay = 0;
  if (inputRate_ == outputRate_) return 0;
  if (!mediaObject_ || FAILED(mediaObject_->GetInputMaxLatency(0, &delay))) return 0;
  return delay;
}
