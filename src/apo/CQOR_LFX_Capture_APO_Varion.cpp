#include "apo/CQOR_LFX_Capture_APO_Varion.h"

#include <cstring>

#include "apo/QORAPOClassIds.h"

const APO_REG_PROPERTIES& CQOR_LFX_Capture_APO_Varion::Registration() {
  static const APO_REG_PROPERTIES properties = MakeRegistration(
      CLSID_QOR_LFX_Capture_APO_Varion, L"QOR LFX Capture APO", IID_IQOR_LFX_Capture_APO_Varion);
  return properties;
}

CQOR_LFX_Capture_APO_Varion::CQOR_LFX_Capture_APO_Varion()
    : CQOR_LFX_APO_Varion_Base(kLocation, Registration()) {
  manager_.SetEndpointFlow(eCapture);
}

CQOR_LFX_Capture_APO_Varion::~CQOR_LFX_Capture_APO_Varion() = default;

HRESULT CQOR_LFX_Capture_APO_Varion::FindInterface(REFIID iid, void** object) {
  if (iid == IID_IQOR_LFX_Capture_APO_Varion) {
    *object = static_cast<IQOR_LFX_Capture_APO_Varion*>(this);
    return S_OK;
  }
  if (iid == IID_IAudioSystemEffects2) {
    *object = nullptr;
    return E_NOINTERFACE;
  }
  return CQOR_LFX_APO_Varion_Base::FindInterface(iid, object);
}

bool CQOR_LFX_Capture_APO_Varion::IsChannelCountAccepted(uint32_t channels) const {
  return channels == 1 || channels == 2;
}

HRESULT CQOR_LFX_Capture_APO_Varion::Initialize(UINT32 cbDataSize, BYTE* pbyData) {
  const HRESULT hr = CBaseAudioProcessingObject::Initialize(cbDataSize, pbyData);
  if (FAILED(hr)) return hr;
  if (cbDataSize != sizeof(APOInitSystemEffects)) return E_INVALIDARG;
  APOInitSystemEffects init;
  std::memcpy(&init, pbyData, sizeof(init));
  if (init.pAPOSystemEffectsProperties == nullptr || init.pDeviceCollection == nullptr) {
    return E_INVALIDARG;
  }
  KeepEndpoint(init.pAPOSystemEffectsProperties, init.pDeviceCollection, 0);
  // A capture side without its endpoint still carries audio; the attach is only reported.
  attached_ = manager_.SetEndpoint(endpointDevice_.Get(), propertyStore_.Get(), APO_FX_PreBlue);
  return hr;
}

HRESULT CQOR_LFX_Capture_APO_Varion::ValidateAndCacheConnectionInfo(
    UINT32 u32NumInputConnections, APO_CONNECTION_DESCRIPTOR** inputs,
    UINT32 u32NumOutputConnections, APO_CONNECTION_DESCRIPTOR** outputs) {
  const HRESULT hr = CBaseAudioProcessingObject::ValidateAndCacheConnectionInfo(
      u32NumInputConnections, inputs, u32NumOutputConnections, outputs);
  CacheFormats(u32NumInputConnections, inputs, u32NumOutputConnections, outputs);
  ready_ = false;
  manager_.SetMaxPeriodFrames(outputRoom_);
  if (FAILED(hr) ||
      !manager_.Initialize(inputFormat_.Format.nChannels, outputFormat_.Format.nChannels,
                           inputFormat_.Format.nSamplesPerSec, kLocation)) {
    return APOERR_INVALID_CONNECTION_FORMAT;
  }
  ready_ = true;
  return hr;
}

HRESULT CQOR_LFX_Capture_APO_Varion::LockForProcess(UINT32 u32NumInputConnections,
                                                    APO_CONNECTION_DESCRIPTOR** inputs,
                                                    UINT32 u32NumOutputConnections,
                                                    APO_CONNECTION_DESCRIPTOR** outputs) {
  const HRESULT hr = CBaseAudioProcessingObject::LockForProcess(u32NumInputConnections, inputs,
                                                                u32NumOutputConnections, outputs);
  if (SUCCEEDED(hr) && u32NumInputConnections >= 1 && captureMutex_ == nullptr) {
    captureMutex_ = QORCreateNamedMutex(QORAPOProcessManager::kCaptureMutexName, false);
  }
  return hr;
}

HRESULT CQOR_LFX_Capture_APO_Varion::UnlockForProcess() {
  const HRESULT hr = CBaseAudioProcessingObject::UnlockForProcess();
  // The attached manager holds the mutex too, for its pipe: render instances must not go on
  // seeing a capture side that no longer runs.
  captureMutex_.reset();
  manager_.ReleaseCaptureMutex();
  return hr;
}

void CQOR_LFX_Capture_APO_Varion::APOProcess(UINT32 u32NumInputConnections,
                                             APO_CONNECTION_PROPERTY** inputs,
                                             UINT32 u32NumOutputConnections,
                                             APO_CONNECTION_PROPERTY** outputs) {
  if (!HasFirstConnections(u32NumInputConnections, inputs, u32NumOutputConnections, outputs)) {
    return;
  }
  APO_CONNECTION_PROPERTY& input = *inputs[0];
  APO_CONNECTION_PROPERTY& output = *outputs[0];
  if (input.u32BufferFlags == BUFFER_VALID) {
    if (output.u32ValidFrameCount == 0) output.u32ValidFrameCount = input.u32ValidFrameCount;
    if (OutputRoom() != 0 && output.u32ValidFrameCount > OutputRoom()) {
      output.u32ValidFrameCount = OutputRoom();
    }
    manager_.Process(reinterpret_cast<float*>(input.pBuffer), &input.u32ValidFrameCount,
                     reinterpret_cast<float*>(output.pBuffer), &output.u32ValidFrameCount, false);
    output.u32BufferFlags = input.u32BufferFlags;
  } else if (input.u32BufferFlags == BUFFER_SILENT) {
    output.u32ValidFrameCount = input.u32ValidFrameCount;
    output.u32BufferFlags = BUFFER_SILENT;
  }
}
