#include "platform/QORSpeexResampler.h"

#include <speex/speex_resampler.h>

#include <algorithm>
#include <cstring>
#include <mutex>
#include <new>

#include "platform/QORComApi.h"
#include "platform/QORMediaObjectApi.h"

namespace {

constexpr uint32_t kBytesPerSample = 4;
// The hold store takes this much input without growing: 100 ms at the input rate.
constexpr uint32_t kHoldDivisor = 10;
constexpr uint32_t kHoldMinimumFrames = 1024;

}  // namespace

void QORRegisterResamplerMediaObject() {
  static std::once_flag once;
  std::call_once(
      once, [] { QORComRegisterClass(CLSID_CResamplerMediaObject, &QORSpeexResampler::Create); });
}

HRESULT QORSpeexResampler::Create(REFIID iid, void** object) {
  if (object == nullptr) return E_POINTER;
  *object = nullptr;
  auto* created = new (std::nothrow) QORSpeexResampler();
  if (created == nullptr) return E_OUTOFMEMORY;
  const HRESULT hr = created->QueryInterface(iid, object);
  created->Release();
  return hr;
}

QORSpeexResampler::~QORSpeexResampler() {
  FreeStreamingResources();
}

HRESULT QORSpeexResampler::QueryInterface(REFIID iid, void** object) {
  if (object == nullptr) return E_POINTER;
  if (iid == IID_IUnknown || iid == IID_IMediaObject) {
    *object = static_cast<IMediaObject*>(this);
    AddRef();
    return S_OK;
  }
  *object = nullptr;
  return E_NOINTERFACE;
}

bool QORSpeexResampler::ParseType(const DMO_MEDIA_TYPE& type, StreamFormat* format) {
  if (type.majortype != MEDIATYPE_Audio) return false;
  if (type.subtype != MEDIASUBTYPE_PCM && type.subtype != MEDIASUBTYPE_IEEE_FLOAT) return false;
  if (type.formattype != FORMAT_WaveFormatEx || type.pbFormat == nullptr) return false;
  if (type.cbFormat < sizeof(WAVEFORMATEX)) return false;
  WAVEFORMATEX wave;
  std::memcpy(&wave, type.pbFormat, sizeof(wave));
  if (wave.wFormatTag == WAVE_FORMAT_EXTENSIBLE) {
    if (type.cbFormat < sizeof(WAVEFORMATEXTENSIBLE) ||
        wave.cbSize < sizeof(WAVEFORMATEXTENSIBLE) - sizeof(WAVEFORMATEX)) {
      return false;
    }
    WAVEFORMATEXTENSIBLE extensible;
    std::memcpy(&extensible, type.pbFormat, sizeof(extensible));
    if (extensible.SubFormat != KSDATAFORMAT_SUBTYPE_IEEE_FLOAT) return false;
  } else if (wave.wFormatTag != WAVE_FORMAT_IEEE_FLOAT) {
    return false;
  }
  if (wave.wBitsPerSample != 32 || wave.nChannels == 0 || wave.nSamplesPerSec == 0) return false;
  if (wave.nBlockAlign != wave.nChannels * kBytesPerSample) return false;
  format->channels = wave.nChannels;
  format->rate = wave.nSamplesPerSec;
  return true;
}

HRESULT QORSpeexResampler::SetType(uint32_t stream, const DMO_MEDIA_TYPE* type, uint32_t flags,
                                   bool input) {
  if (stream != 0) return DMO_E_INVALIDSTREAMINDEX;
  StreamFormat& target = input ? input_ : output_;
  if ((flags & DMO_SET_TYPEF_CLEAR) != 0) {
    FreeStreamingResources();
    target = StreamFormat{};
    return S_OK;
  }
  if (type == nullptr) return E_POINTER;
  StreamFormat format;
  if (!ParseType(*type, &format)) return DMO_E_TYPE_NOT_ACCEPTED;
  // This object converts rates only: the output keeps the input's channels.
  if (!input && input_.channels != 0 && format.channels != input_.channels) {
    return DMO_E_TYPE_NOT_ACCEPTED;
  }
  if ((flags & DMO_SET_TYPEF_TEST_ONLY) != 0) return S_OK;
  FreeStreamingResources();
  target = format;
  if (input && output_.channels != 0 && output_.channels != format.channels) output_ = {};
  return S_OK;
}

HRESULT QORSpeexResampler::SetInputType(uint32_t stream, const DMO_MEDIA_TYPE* type,
                                        uint32_t flags) {
  return SetType(stream, type, flags, true);
}

HRESULT QORSpeexResampler::SetOutputType(uint32_t stream, const DMO_MEDIA_TYPE* type,
                                         uint32_t flags) {
  return SetType(stream, type, flags, false);
}

HRESULT QORSpeexResampler::GetInputMaxLatency(uint32_t stream, REFERENCE_TIME* latency) {
  if (stream != 0) return DMO_E_INVALIDSTREAMINDEX;
  if (latency == nullptr) return E_POINTER;
  if (state_ == nullptr) return DMO_E_TYPE_NOT_SET;
  // The filter is centred half its length behind the newest input sample.
  const int64_t frames = speex_resampler_get_input_latency(state_);
  *latency = (frames * 10000000 + input_.rate / 2) / input_.rate;
  return S_OK;
}

HRESULT QORSpeexResampler::Flush() {
  holdRead_ = holdEnd_ = 0;
  if (state_ != nullptr) speex_resampler_reset_mem(state_);
  return S_OK;
}

HRESULT QORSpeexResampler::AllocateStreamingResources() {
  if (input_.channels == 0 || output_.channels == 0) return DMO_E_TYPE_NOT_SET;
  if (state_ != nullptr) return S_OK;
  int error = RESAMPLER_ERR_SUCCESS;
  state_ =
      speex_resampler_init(input_.channels, input_.rate, output_.rate, kDefaultQuality, &error);
  if (state_ == nullptr || error != RESAMPLER_ERR_SUCCESS) {
    if (state_ != nullptr) speex_resampler_destroy(state_);
    state_ = nullptr;
    return error == RESAMPLER_ERR_ALLOC_FAILED ? E_OUTOFMEMORY : E_FAIL;
  }
  const size_t frames = std::max(input_.rate / kHoldDivisor, kHoldMinimumFrames);
  hold_.assign(frames * input_.channels, 0.0f);
  holdRead_ = holdEnd_ = 0;
  return S_OK;
}

HRESULT QORSpeexResampler::FreeStreamingResources() {
  if (state_ != nullptr) speex_resampler_destroy(state_);
  state_ = nullptr;
  hold_ = {};
  holdRead_ = holdEnd_ = 0;
  return S_OK;
}

HRESULT QORSpeexResampler::GetInputStatus(uint32_t stream, uint32_t* flags) {
  if (stream != 0) return DMO_E_INVALIDSTREAMINDEX;
  if (flags == nullptr) return E_POINTER;
  *flags = holdRead_ == holdEnd_ ? DMO_INPUT_STATUSF_ACCEPT_DATA : 0;
  return S_OK;
}

HRESULT QORSpeexResampler::ProcessInput(uint32_t stream, IMediaBuffer* buffer, uint32_t,
                                        REFERENCE_TIME, REFERENCE_TIME) {
  if (stream != 0) return DMO_E_INVALIDSTREAMINDEX;
  if (buffer == nullptr) return E_POINTER;
  if (state_ == nullptr) return DMO_E_TYPE_NOT_SET;
  if (holdRead_ != holdEnd_) return DMO_E_NOTACCEPTING;
  uint8_t* bytes = nullptr;
  uint32_t length = 0;
  const HRESULT hr = buffer->GetBufferAndLength(&bytes, &length);
  if (FAILED(hr)) return hr;
  // Whole frames only; a trailing partial frame cannot be converted.
  const size_t samples = (length / (input_.channels * kBytesPerSample)) * input_.channels;
  if (samples == 0) return S_FALSE;
  if (bytes == nullptr) return E_POINTER;
  // Only a buffer larger than any before grows the store.
  if (samples > hold_.size()) hold_.resize(samples);
  std::memcpy(hold_.data(), bytes, samples * kBytesPerSample);
  holdRead_ = 0;
  holdEnd_ = samples;
  return S_OK;
}

HRESULT QORSpeexResampler::ProcessOutput(uint32_t, uint32_t bufferCount,
                                         DMO_OUTPUT_DATA_BUFFER* buffers, uint32_t* status) {
  if (status != nullptr) *status = 0;
  if (buffers == nullptr) return E_POINTER;
  if (bufferCount != 1) return E_INVALIDARG;
  DMO_OUTPUT_DATA_BUFFER& out = buffers[0];
  out.dwStatus = 0;
  if (state_ == nullptr) return DMO_E_TYPE_NOT_SET;
  if (holdRead_ == holdEnd_) return S_FALSE;
  if (out.pBuffer == nullptr) return E_POINTER;
  uint8_t* bytes = nullptr;
  uint32_t length = 0;
  uint32_t maxLength = 0;
  HRESULT hr = out.pBuffer->GetBufferAndLength(&bytes, &length);
  if (SUCCEEDED(hr)) hr = out.pBuffer->GetMaxLength(&maxLength);
  if (FAILED(hr)) return hr;
  const uint32_t frameBytes = output_.channels * kBytesPerSample;
  const uint32_t roomFrames = maxLength > length ? (maxLength - length) / frameBytes : 0;
  spx_uint32_t inFrames = static_cast<spx_uint32_t>((holdEnd_ - holdRead_) / input_.channels);
  spx_uint32_t outFrames = roomFrames;
  if (outFrames != 0) {
    if (bytes == nullptr) return E_POINTER;
    auto* target = reinterpret_cast<float*>(bytes + length);
    if (speex_resampler_process_interleaved_float(state_, hold_.data() + holdRead_, &inFrames,
                                                  target, &outFrames) != RESAMPLER_ERR_SUCCESS) {
      return E_FAIL;
    }
  } else {
    inFrames = 0;
  }
  holdRead_ += static_cast<size_t>(inFrames) * input_.channels;
  if (holdRead_ == holdEnd_) {
    holdRead_ = holdEnd_ = 0;
  } else {
    out.dwStatus |= DMO_OUTPUT_DATA_BUFFERF_INCOMPLETE;
  }
  return out.pBuffer->SetLength(length + outFrames * frameBytes);
}
