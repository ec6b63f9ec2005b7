#include "platform/CBaseAudioProcessingObject.h"

#include <cstring>

#include "platform/QORComApi.h"

CBaseAudioProcessingObject::CBaseAudioProcessingObject(const APO_REG_PROPERTIES& properties)
    : registration_(properties) {}

CBaseAudioProcessingObject::~CBaseAudioProcessingObject() = default;

HRESULT CBaseAudioProcessingObject::FindInterface(REFIID iid, void** object) {
  if (iid == IID_IAudioProcessingObject) {
    *object = static_cast<IAudioProcessingObject*>(this);
  } else if (iid == IID_IAudioProcessingObjectRT) {
    *object = static_cast<IAudioProcessingObjectRT*>(this);
  } else if (iid == IID_IAudioProcessingObjectConfiguration) {
    *object = static_cast<IAudioProcessingObjectConfiguration*>(this);
  } else {
    *object = nullptr;
    return E_NOINTERFACE;
  }
  return S_OK;
}

HRESULT CBaseAudioProcessingObject::Reset() {
  return S_OK;
}

HRESULT CBaseAudioProcessingObject::GetLatency(HNSTIME* latency) {
  if (latency == nullptr) return E_POINTER;
  *latency = 0;
  return S_OK;
}

HRESULT CBaseAudioProcessingObject::GetRegistrationProperties(APO_REG_PROPERTIES** properties) {
  if (properties == nullptr) return E_POINTER;
  auto* copy = static_cast<APO_REG_PROPERTIES*>(CoTaskMemAlloc(sizeof(APO_REG_PROPERTIES)));
  std::memcpy(static_cast<void*>(copy), &registration_, sizeof(APO_REG_PROPERTIES));
  *properties = copy;
  return S_OK;
}

HRESULT CBaseAudioProcessingObject::Initialize(UINT32 cbDataSize, BYTE* pbyData) {
  if (pbyData == nullptr) return E_POINTER;
  if (IsLocked()) return APOERR_ALREADY_LOCKED;
  if (initialized_) return APOERR_ALREADY_INITIALIZED;
  if (cbDataSize < sizeof(APOInitBaseStruct)) return E_INVALIDARG;
  APOInitBaseStruct header;
  std::memcpy(&header, pbyData, sizeof(header));
  if (header.cbSize != cbDataSize) return E_INVALIDARG;
  initData_.assign(pbyData, pbyData + cbDataSize);
  initialized_ = true;
  return S_OK;
}

bool CBaseAudioProcessingObject::IsFloat32(IAudioMediaType* type) {
  if (type == nullptr) return false;
  UNCOMPRESSEDAUDIOFORMAT format{};
  if (FAILED(type->GetUncompressedAudioFormat(&format))) return false;
  return format.guidFormatType == KSDATAFORMAT_SUBTYPE_IEEE_FLOAT &&
         format.dwValidBitsPerSample == 32 && format.dwBytesPerSampleContainer == 4;
}

bool CBaseAudioProcessingObject::FormatsMatch(IAudioMediaType* a, IAudioMediaType* b) const {
  UNCOMPRESSEDAUDIOFORMAT first{};
  UNCOMPRESSEDAUDIOFORMAT second{};
  if (FAILED(a->GetUncompressedAudioFormat(&first)) ||
      FAILED(b->GetUncompressedAudioFormat(&second))) {
    return false;
  }
  const uint32_t flags = registration_.Flags;
  if ((flags & APO_FLAG_FRAMESPERSECOND_MUST_MATCH) != 0 &&
      first.fFramesPerSecond != second.fFramesPerSecond) {
    return false;
  }
  if ((flags & APO_FLAG_BITSPERSAMPLE_MUST_MATCH) != 0 &&
      (first.dwValidBitsPerSample != second.dwValidBitsPerSample ||
       first.dwBytesPerSampleContainer != second.dwBytesPerSampleContainer)) {
    return false;
  }
  if ((flags & APO_FLAG_SAMPLESPERFRAME_MUST_MATCH) != 0 &&
      first.dwSamplesPerFrame != second.dwSamplesPerFrame) {
    return false;
  }
  return true;
}

HRESULT CBaseAudioProcessingObject::CheckFormat(IAudioMediaType* opposite,
                                                IAudioMediaType* requested,
                                                IAudioMediaType** supported) {
  if (requested == nullptr || supported == nullptr) return E_POINTER;
  *supported = nullptr;
  if (!IsFloat32(requested)) return APOERR_FORMAT_NOT_SUPPORTED;
  if (opposite != nullptr && (!IsFloat32(opposite) || !FormatsMatch(opposite, requested))) {
    return APOERR_FORMAT_NOT_SUPPORTED;
  }
  requested->AddRef();
  *supported = requested;
  return S_OK;
}

HRESULT CBaseAudioProcessingObject::IsInputFormatSupported(IAudioMediaType* opposite,
                                                           IAudioMediaType* requested,
                                                           IAudioMediaType** supported) {
  return CheckFormat(opposite, requested, supported);
}

HRESULT CBaseAudioProcessingObject::IsOutputFormatSupported(IAudioMediaType* opposite,
                                                            IAudioMediaType* requested,
                                                            IAudioMediaType** supported) {
  return CheckFormat(opposite, requested, supported);
}

HRESULT CBaseAudioProcessingObject::GetInputChannelCount(UINT32* channels) {
  if (channels == nullptr) return E_POINTER;
  if (!IsLocked() || !inputFormat_) return APOERR_NOT_LOCKED;
  *channels = inputFormat_->GetAudioFormat()->nChannels;
  return S_OK;
}

UINT32 CBaseAudioProcessingObject::CalcInputFrames(UINT32 outputFrameCount) {
  return outputFrameCount;
}

UINT32 CBaseAudioProcessingObject::CalcOutputFrames(UINT32 inputFrameCount) {
  return inputFrameCount;
}

HRESULT CBaseAudioProcessingObject::ValidateAndCacheConnectionInfo(
    UINT32 u32NumInputConnections, APO_CONNECTION_DESCRIPTOR** inputs,
    UINT32 u32NumOutputConnections, APO_CONNECTION_DESCRIPTOR** outputs) {
  if (u32NumInputConnections < registration_.u32MinInputConnections ||
      u32NumInputConnections > registration_.u32MaxInputConnections ||
      u32NumOutputConnections < registration_.u32MinOutputConnections ||
      u32NumOutputConnections > registration_.u32MaxOutputConnections) {
    return APOERR_NUM_CONNECTIONS_INVALID;
  }
  if ((u32NumInputConnections > 0 && inputs == nullptr) ||
      (u32NumOutputConnections > 0 && outputs == nullptr)) {
    return E_POINTER;
  }
  for (UINT32 i = 0; i < u32NumInputConnections; ++i) {
    if (inputs[i] == nullptr) return E_POINTER;
    if (!IsFloat32(inputs[i]->pFormat)) return APOERR_INVALID_CONNECTION_FORMAT;
  }
  for (UINT32 i = 0; i < u32NumOutputConnections; ++i) {
    if (outputs[i] == nullptr) return E_POINTER;
    if (!IsFloat32(outputs[i]->pFormat)) return APOERR_INVALID_CONNECTION_FORMAT;
  }
  IAudioMediaType* input = u32NumInputConnections > 0 ? inputs[0]->pFormat : nullptr;
  IAudioMediaType* output = u32NumOutputConnections > 0 ? outputs[0]->pFormat : nullptr;
  if (input != nullptr && output != nullptr && !FormatsMatch(input, output)) {
    return APOERR_INVALID_CONNECTION_FORMAT;
  }
  if (input != nullptr) input->AddRef();
  if (output != nullptr) output->AddRef();
  inputFormat_ = QORComPtr<IAudioMediaType>::Attach(input);
  outputFormat_ = QORComPtr<IAudioMediaType>::Attach(output);
  return S_OK;
}

HRESULT CBaseAudioProcessingObject::LockForProcess(UINT32 u32NumInputConnections,
                                                   APO_CONNECTION_DESCRIPTOR** inputs,
                                                   UINT32 u32NumOutputConnections,
                                                   APO_CONNECTION_DESCRIPTOR** outputs) {
  if (!initialized_) return APOERR_NOT_INITIALIZED;
  if (IsLocked()) return APOERR_ALREADY_LOCKED;
  const HRESULT hr = ValidateAndCacheConnectionInfo(u32NumInputConnections, inputs,
                                                    u32NumOutputConnections, outputs);
  if (FAILED(hr)) return hr;
  locked_.store(true, std::memory_order_release);
  return hr;
}

HRESULT CBaseAudioProcessingObject::UnlockForProcess() {
  if (!IsLocked()) return APOERR_NOT_LOCKED;
  locked_.store(false, std::memory_order_release);
  inputFormat_.Reset();
  outputFormat_.Reset();
  return S_OK;
}
