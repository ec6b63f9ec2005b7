#include "apo/CQOR_LFX_APO_Varion_Base.h"

#include <algorithm>
#include <cstring>
#include <cwchar>
#include <memory>
#include <string>
#include <vector>

#include "apo/QORAPOClassIds.h"
#include "apo/QORAPOEffectsList.h"
#include "apo/QORAPOEffectsWatcher.h"
#include "apo/QORAPOModule.h"
#include "chain/QORAPOProcessWrapper.h"
#include "common/QORTrace.h"
#include "platform/IMMDeviceCollection.h"
#include "platform/QORAudioEndpointKeys.h"
#include "platform/QORAudioMediaType.h"
#include "platform/QORComApi.h"
#include "platform/QOREventHandle.h"
#include "platform/QORHResult.h"
#include "platform/QORPropVariant.h"
#include "platform/QORSystemInfo.h"
#include "platform/QORThreadPriority.h"
#include "platform/QORWinError.h"

std::atomic<int32_t> CQOR_LFX_APO_Varion_Base::liveInstances_{0};
std::atomic<int32_t> CQOR_LFX_APO_Varion_Base::lockedInstances_{0};

namespace {

const wchar_t* LocationName(int32_t location) {
  static const wchar_t* const names[] = {L"PreBlue", L"SFX", L"MFX", L"EFX", L"OSFX", L"OMFX"};
  return location >= 0 && location < 6 ? names[location] : L"Invalid APO location!";
}

std::string ChainLine(QORAPOProcessChain* chain) {
  if (chain == nullptr || !chain->constructed || chain->bypassed) return "bypassed";
  std::string line;
  auto add = [&line](const std::string& part) {
    if (!line.empty()) line += " > ";
    line += part;
  };
  if (const uint32_t delay = chain->GetDelay().GetLatency(); delay > 0) {
    add("Delay(" + std::to_string(delay) + ")");
  }
  for (size_t i = 0; i < chain->GetElementCount(); ++i) {
    auto* wrapper = dynamic_cast<QORAPOProcessWrapper*>(chain->GetElement(i));
    if (wrapper == nullptr) {
      add("Mix");
    } else {
      // What runs, then the configuration's name for it.
      const std::string& instance = wrapper->GetInstanceId();
      add(wrapper->GetTechId() + (instance.empty() ? "" : " (" + instance + ")"));
    }
  }
  return line.empty() ? "empty" : line;
}

}  // namespace

APO_REG_PROPERTIES CQOR_LFX_APO_Varion_Base::MakeRegistration(const CLSID& clsid,
                                                              const wchar_t* friendlyName,
                                                              const IID& apoInterface) {
  APO_REG_PROPERTIES properties{};
  properties.clsid = clsid;
  properties.Flags = static_cast<APO_FLAG>(APO_FLAG_FRAMESPERSECOND_MUST_MATCH |
                                           APO_FLAG_BITSPERSAMPLE_MUST_MATCH);
  std::wcsncpy(properties.szFriendlyName, friendlyName, kAPORegTextChars - 1);
  std::wcsncpy(properties.szCopyrightInfo, L"Copyright (C) QOR Labs. All rights reserved.",
               kAPORegTextChars - 1);
  properties.u32MajorVersion = 1;
  properties.u32MinorVersion = 0;
  properties.u32MinInputConnections = 1;
  properties.u32MaxInputConnections = 1;
  properties.u32MinOutputConnections = 1;
  properties.u32MaxOutputConnections = 1;
  properties.u32MaxInstances = 0xFFFFFFFF;
  properties.u32NumAPOInterfaces = 1;
  properties.iidAPOInterfaceList[0] = apoInterface;
  return properties;
}

CQOR_LFX_APO_Varion_Base::CQOR_LFX_APO_Varion_Base(int32_t location,
                                                   const APO_REG_PROPERTIES& properties)
    : CBaseAudioProcessingObject(properties), location_(location) {
  liveInstances_.fetch_add(1);
  QORAPOModule::Lock();
  QORAPOModule::Load();
  QORTraceW(
      {"CQOR_LFX_APO_Varion_Base", __LINE__, "CQOR_LFX_APO_Varion_Base::CQOR_LFX_APO_Varion_Base"},
      L"%ls\n", LocationName(location));
}

CQOR_LFX_APO_Varion_Base::~CQOR_LFX_APO_Varion_Base() {
  watcherThread_.Stop(0);
  if (lockOrdinal_ != -1) lockedInstances_.fetch_sub(1);
  liveInstances_.fetch_sub(1);
  QORAPOModule::Unlock();
}

HRESULT CQOR_LFX_APO_Varion_Base::FindInterface(REFIID iid, void** object) {
  if (iid == IID_IAudioSystemEffects) {
    *object = static_cast<IAudioSystemEffects*>(static_cast<IAudioSystemEffects2*>(this));
  } else if (iid == IID_IAudioSystemEffects2) {
    *object = static_cast<IAudioSystemEffects2*>(this);
  } else if (iid == IID_IQORAPOHostState) {
    *object = static_cast<IQORAPOHostState*>(this);
  } else {
    return CBaseAudioProcessingObject::FindInterface(iid, object);
  }
  return S_OK;
}

void CQOR_LFX_APO_Varion_Base::KeepEndpoint(IPropertyStore* store, IMMDeviceCollection* devices,
                                            UINT index) {
  store->AddRef();
  propertyStore_ = QORComPtr<IPropertyStore>::Attach(store);
  KeepDevice(devices, index);
}

void CQOR_LFX_APO_Varion_Base::KeepDevice(IMMDeviceCollection* devices, UINT index) {
  endpointDevice_.Reset();
  const HRESULT hr = devices->Item(index, endpointDevice_.Put());
  if (FAILED(hr) || !endpointDevice_) {
    // The object then runs without a device: the manager finds the endpoint by the store's GUID.
    QORTrace({"CQOR_LFX_APO_Varion_Base", __LINE__, "CQOR_LFX_APO_Varion_Base::KeepDevice"},
             "ERROR: no device %u in the collection, hr=0x%08x\n", static_cast<unsigned>(index),
             static_cast<unsigned>(hr));
    endpointDevice_.Reset();
  }
}

HRESULT CQOR_LFX_APO_Varion_Base::Initialize(UINT32 cbDataSize, BYTE* pbyData) {
  const HRESULT hr = CBaseAudioProcessingObject::Initialize(cbDataSize, pbyData);
  if (FAILED(hr)) return hr;
  if (cbDataSize < sizeof(APOInitSystemEffects)) return E_INVALIDARG;
  APOInitSystemEffects init;
  std::memcpy(&init, pbyData, sizeof(init));
  if (init.pAPOSystemEffectsProperties == nullptr || init.pDeviceCollection == nullptr) {
    return E_INVALIDARG;
  }
  KeepEndpoint(init.pAPOSystemEffectsProperties, init.pDeviceCollection, 0);
  attached_ = false;
  if (cbDataSize >= sizeof(APOInitSystemEffects2)) {
    APOInitSystemEffects2 init2;
    std::memcpy(&init2, pbyData, sizeof(init2));
    KeepDevice(init2.pDeviceCollection, init2.nSoftwareIoDeviceInCollection);
    connectorIndex_ = init2.nSoftwareIoConnectorIndex;
    processingMode_ = init2.AudioProcessingMode;
    discoveryOnly_ = init2.InitializeForDiscoveryOnly != FALSE;
    if (discoveryOnly_) {
      PROPVARIANT value;
      PropVariantInit(&value);
      if (SUCCEEDED(propertyStore_->GetValue(PKEY_AudioEndpoint_GUID, &value)) &&
          value.vt == VT_LPWSTR && value.pwszVal != nullptr) {
        endpointGuid_ = value.pwszVal;
      }
      PropVariantClear(&value);
    }
  }
  return hr;
}

bool CQOR_LFX_APO_Varion_Base::PassThroughChosen() const {
  return !ready_ ||
         (olderPlatform_ && lockOrdinal_ > static_cast<int32_t>(QORAPOModule::GetBypassCount()));
}

HRESULT CQOR_LFX_APO_Varion_Base::GetLatency(HNSTIME* latency) {
  if (latency == nullptr) return E_POINTER;
  // A period passed straight through is not delayed, whatever the manager last computed.
  *latency = PassThroughChosen() ? 0 : manager_.GetLatency() / 10;
  return S_OK;
}

bool CQOR_LFX_APO_Varion_Base::IsChannelCountAccepted(uint32_t channels) const {
  return channels == 2 || channels == 6 || channels == 8;
}

HRESULT CQOR_LFX_APO_Varion_Base::NegotiateFormat(IAudioMediaType* opposite,
                                                  IAudioMediaType* requested,
                                                  IAudioMediaType** supported) {
  if (requested == nullptr || supported == nullptr) return E_POINTER;
  *supported = nullptr;
  BOOL compressed = FALSE;
  if (FAILED(requested->IsCompressedFormat(&compressed)) || compressed) {
    return APOERR_FORMAT_NOT_SUPPORTED;
  }
  if (opposite != nullptr && (FAILED(opposite->IsCompressedFormat(&compressed)) || compressed)) {
    return APOERR_FORMAT_NOT_SUPPORTED;
  }
  auto acceptable = [this](IAudioMediaType* type) {
    UNCOMPRESSEDAUDIOFORMAT format{};
    return SUCCEEDED(type->GetUncompressedAudioFormat(&format)) &&
           format.guidFormatType == KSDATAFORMAT_SUBTYPE_IEEE_FLOAT &&
           format.dwValidBitsPerSample == 32 && IsChannelCountAccepted(format.dwSamplesPerFrame);
  };
  UNCOMPRESSEDAUDIOFORMAT wanted{};
  UNCOMPRESSEDAUDIOFORMAT other{};
  if (FAILED(requested->GetUncompressedAudioFormat(&wanted))) return APOERR_FORMAT_NOT_SUPPORTED;
  if (opposite != nullptr && FAILED(opposite->GetUncompressedAudioFormat(&other))) {
    return APOERR_FORMAT_NOT_SUPPORTED;
  }
  const bool bothAcceptable =
      acceptable(requested) && (opposite == nullptr || acceptable(opposite));
  if (!(wanted.fFramesPerSecond <= kMaxRate) || !bothAcceptable) {
    return APOERR_FORMAT_NOT_SUPPORTED;
  }
  if (opposite == nullptr || wanted.fFramesPerSecond == other.fFramesPerSecond) {
    requested->AddRef();
    *supported = requested;
    return S_OK;
  }
  // The requested layout at the opposite side's rate.
  const WAVEFORMATEX* format = requested->GetAudioFormat();
  const size_t bytes = sizeof(WAVEFORMATEX) + format->cbSize;
  std::unique_ptr<uint8_t[]> copy(new uint8_t[bytes]);
  std::memcpy(copy.get(), format, bytes);
  auto* proposed = reinterpret_cast<WAVEFORMATEX*>(copy.get());
  const uint32_t rate = opposite->GetAudioFormat()->nSamplesPerSec;
  proposed->nSamplesPerSec = rate;
  proposed->nAvgBytesPerSec = rate * proposed->nBlockAlign;
  if (FAILED(CreateAudioMediaType(proposed, static_cast<UINT32>(bytes), supported))) {
    *supported = nullptr;
    return APOERR_FORMAT_NOT_SUPPORTED;
  }
  return S_FALSE;
}

HRESULT CQOR_LFX_APO_Varion_Base::IsInputFormatSupported(IAudioMediaType* opposite,
                                                         IAudioMediaType* requested,
                                                         IAudioMediaType** supported) {
  return NegotiateFormat(opposite, requested, supported);
}

HRESULT CQOR_LFX_APO_Varion_Base::IsOutputFormatSupported(IAudioMediaType* opposite,
                                                          IAudioMediaType* requested,
                                                          IAudioMediaType** supported) {
  return NegotiateFormat(opposite, requested, supported);
}

bool CQOR_LFX_APO_Varion_Base::IsOlderPlatform() {
  const QOROSVersion version = QORSystemInfo::GetOSVersion();
  return version.major < 6 || (version.major == 6 && version.minor < 1);
}

void CQOR_LFX_APO_Varion_Base::CacheFormats(UINT32 inputCount, APO_CONNECTION_DESCRIPTOR** inputs,
                                            UINT32 outputCount,
                                            APO_CONNECTION_DESCRIPTOR** outputs) {
  auto cache = [](UINT32 count, APO_CONNECTION_DESCRIPTOR** connections,
                  WAVEFORMATEXTENSIBLE* out) {
    *out = {};
    if (count == 0 || connections == nullptr || connections[0] == nullptr ||
        connections[0]->pFormat == nullptr) {
      return;
    }
    const WAVEFORMATEX* format = connections[0]->pFormat->GetAudioFormat();
    if (format == nullptr) return;
    const bool extensible = format->wFormatTag == WAVE_FORMAT_EXTENSIBLE &&
                            format->cbSize >= kWaveFormatExtensibleExtra;
    std::memcpy(static_cast<void*>(out), format,
                extensible ? sizeof(WAVEFORMATEXTENSIBLE) : sizeof(WAVEFORMATEX));
  };
  cache(inputCount, inputs, &inputFormat_);
  cache(outputCount, outputs, &outputFormat_);
  outputRoom_ = (outputCount > 0 && outputs != nullptr && outputs[0] != nullptr)
                    ? outputs[0]->u32MaxFrameCount
                    : 0;
}

HRESULT CQOR_LFX_APO_Varion_Base::ValidateAndCacheConnectionInfo(
    UINT32 u32NumInputConnections, APO_CONNECTION_DESCRIPTOR** inputs,
    UINT32 u32NumOutputConnections, APO_CONNECTION_DESCRIPTOR** outputs) {
  const HRESULT hr = CBaseAudioProcessingObject::ValidateAndCacheConnectionInfo(
      u32NumInputConnections, inputs, u32NumOutputConnections, outputs);
  CacheFormats(u32NumInputConnections, inputs, u32NumOutputConnections, outputs);
  if (FAILED(hr)) return APOERR_INVALID_CONNECTION_FORMAT;
  if (!attached_) {
    attached_ = manager_.SetEndpoint(endpointDevice_.Get(), propertyStore_.Get(), GetLocation());
  }
  manager_.SetMaxPeriodFrames(outputRoom_);
  ready_ = attached_ &&
           manager_.Initialize(inputFormat_.Format.nChannels, outputFormat_.Format.nChannels,
                               inputFormat_.Format.nSamplesPerSec, GetLocation());
  return hr;
}

HRESULT CQOR_LFX_APO_Varion_Base::LockForProcess(UINT32 u32NumInputConnections,
                                                 APO_CONNECTION_DESCRIPTOR** inputs,
                                                 UINT32 u32NumOutputConnections,
                                                 APO_CONNECTION_DESCRIPTOR** outputs) {
  QORTrace({"CQOR_LFX_APO_Varion_Base", __LINE__, "CQOR_LFX_APO_Varion_Base::LockForProcess"},
           "u32NumInputConnections=%d, u32NumOutputConnections=%d\n",
           static_cast<int>(u32NumInputConnections), static_cast<int>(u32NumOutputConnections));
  olderPlatform_ = IsOlderPlatform();
  HRESULT hr;
  {
    // Without the privilege to raise it the lock runs at the thread's own priority.
    QORThreadPriorityScope priority(kLockPriority);
    hr = CBaseAudioProcessingObject::LockForProcess(u32NumInputConnections, inputs,
                                                    u32NumOutputConnections, outputs);
  }
  if (SUCCEEDED(hr)) lockOrdinal_ = lockedInstances_.fetch_add(1) + 1;
  return hr;
}

HRESULT CQOR_LFX_APO_Varion_Base::UnlockForProcess() {
  if (lockOrdinal_ != -1) {
    lockedInstances_.fetch_sub(1);
    lockOrdinal_ = -1;
  }
  return CBaseAudioProcessingObject::UnlockForProcess();
}

void CQOR_LFX_APO_Varion_Base::PassThroughCopy(const float* input, uint32_t inputChannels,
                                               uint32_t inputFrames, float* output,
                                               uint32_t outputChannels, uint32_t* outputFrames,
                                               uint32_t room) {
  if (input == output) return;
  const uint32_t channels = std::min(inputChannels, outputChannels);
  if (*outputFrames == 0) *outputFrames = inputFrames;
  // Never past the output buffer the engine locked.
  if (room != 0 && *outputFrames > room) *outputFrames = room;
  std::fill(output, output + static_cast<size_t>(*outputFrames) * outputChannels, 0.0f);
  if (*outputFrames != inputFrames || channels == 0) return;
  for (uint32_t f = 0; f < inputFrames; ++f) {
    for (uint32_t c = 0; c < channels; ++c) {
      output[static_cast<size_t>(f) * outputChannels + c] =
          input[static_cast<size_t>(f) * inputChannels + c];
    }
  }
}

void CQOR_LFX_APO_Varion_Base::FadeIn(float* output, uint32_t channels, uint32_t frames,
                                      uint32_t length, uint32_t* position) {
  const uint32_t fadeLength = length != 0 ? length : frames;
  if (*position >= fadeLength) return;
  const uint32_t count = std::min(frames, fadeLength - *position);
  for (uint32_t f = 0; f < count; ++f, ++*position) {
    const float ratio = static_cast<float>(*position) / static_cast<float>(fadeLength);
    const float gain = ratio * ratio;
    float* frame = output + static_cast<size_t>(f) * channels;
    for (uint32_t c = 0; c < channels; ++c) frame[c] *= gain;
  }
}

void CQOR_LFX_APO_Varion_Base::APOProcess(UINT32 u32NumInputConnections,
                                          APO_CONNECTION_PROPERTY** inputs,
                                          UINT32 u32NumOutputConnections,
                                          APO_CONNECTION_PROPERTY** outputs) {
  if (!HasFirstConnections(u32NumInputConnections, inputs, u32NumOutputConnections, outputs)) {
    return;
  }
  APO_CONNECTION_PROPERTY& input = *inputs[0];
  APO_CONNECTION_PROPERTY& output = *outputs[0];
  const APO_BUFFER_FLAGS flags = input.u32BufferFlags;
  if (flags != BUFFER_VALID && flags != BUFFER_SILENT) return;
  const bool silent = flags == BUFFER_SILENT;
  auto* in = reinterpret_cast<float*>(input.pBuffer);
  auto* out = reinterpret_cast<float*>(output.pBuffer);
  const uint32_t inChannels = inputFormat_.Format.nChannels;
  const uint32_t outChannels = outputFormat_.Format.nChannels;
  if (silent) {
    std::fill(in, in + static_cast<size_t>(inChannels) * input.u32ValidFrameCount, 0.0f);
  }
  // The room the engine gave; none said means as much as the input, within the locked buffer.
  if (output.u32ValidFrameCount == 0) output.u32ValidFrameCount = input.u32ValidFrameCount;
  if (outputRoom_ != 0 && output.u32ValidFrameCount > outputRoom_) {
    output.u32ValidFrameCount = outputRoom_;
  }

  if (PassThroughChosen()) {
    PassThroughCopy(in, inChannels, input.u32ValidFrameCount, out, outChannels,
                    &output.u32ValidFrameCount, outputRoom_);
  } else {
    // Silence goes through the chains like sound: a delay line, FIFO or look-ahead that stood
    // still would lose what it holds or deliver it late, and level-dependent processes go on
    // settling as they would over a quiet floor.
    manager_.Process(in, &input.u32ValidFrameCount, out, &output.u32ValidFrameCount, silent);
  }

  fadeLength_ = kFadeFrames;
  if (fadePosition_ < kFadeFrames) {
    FadeIn(out, outChannels, output.u32ValidFrameCount, fadeLength_, &fadePosition_);
  }
  output.u32BufferFlags = flags;
  if (!silent) return;
  const size_t samples = static_cast<size_t>(outChannels) * output.u32ValidFrameCount;
  // NaN is not 0.0 either.
  const bool anyNonZero = std::any_of(out, out + samples, [](float x) { return !(x == 0.0f); });
  if (!anyNonZero) {
    // Passed on as silent only when it is: all zeros, as many frames as came in (within the
    // locked buffer).
    output.u32ValidFrameCount = outputRoom_ != 0 ? std::min(input.u32ValidFrameCount, outputRoom_)
                                                 : input.u32ValidFrameCount;
    return;
  }
  // What the chains still held comes out as sound.
  output.u32BufferFlags = BUFFER_VALID;
  if (olderPlatform_) fadePosition_ = 0;
}

HRESULT CQOR_LFX_APO_Varion_Base::GetEffectsList(LPGUID* ppEffectsIds, UINT* pcEffects,
                                                 HANDLE Event) {
  if (ppEffectsIds == nullptr || pcEffects == nullptr) return E_POINTER;
  *ppEffectsIds = nullptr;
  *pcEffects = 0;
  const int32_t location = GetLocation();
  QORCriticalSectionLock hold(effectsLock_);

  watcherThread_.Stop(0);
  effectsChangeEvent_.reset();
  if (Event != nullptr) {
    std::unique_ptr<IQOREvent> own;
    const uint32_t error = QORDuplicateEvent(Event, &own);
    if (error != ERROR_SUCCESS) return HRESULT_FROM_WIN32(error);
    effectsChangeEvent_ = std::move(own);
  }
  auto watcher = std::make_shared<QORAPOEffectsWatcher>(effectsChangeEvent_);
  watcher->Prepare();
  watcherThread_.StartShared(watcher);

  const std::vector<GUID> list =
      QORAPOEffectsList::Discover(location, processingMode_, endpointGuid_);
  if (!list.empty()) {
    auto* ids = static_cast<GUID*>(CoTaskMemAlloc(list.size() * sizeof(GUID)));
    if (ids == nullptr) return E_OUTOFMEMORY;
    std::copy(list.begin(), list.end(), ids);
    *ppEffectsIds = ids;
    *pcEffects = static_cast<UINT>(list.size());
  }
  return S_OK;
}

HRESULT CQOR_LFX_APO_Varion_Base::ContinueAfterPause() {
  manager_.ContinueAfterPause();
  return S_OK;
}

HRESULT CQOR_LFX_APO_Varion_Base::GetHostState(QORAPOHostStateInfo* info) {
  if (info == nullptr) return E_POINTER;
  *info = {};
  info->location = GetLocation();
  info->attached = attached_;
  info->ready = ready_;
  info->rebuildCount = manager_.GetRebuildCount();
  info->switchState = manager_.GetSwitchState();
  info->latency = PassThroughChosen() ? 0 : manager_.GetLatency();
  const std::string line = ready_ ? ChainLine(manager_.GetCurrentChain()) : "bypassed";
  std::strncpy(info->chain, line.c_str(), sizeof(info->chain) - 1);
  return S_OK;
}

HRESULT CQOR_LFX_APO_Varion_Base::GetRebuildCount(uint32_t* count) {
  if (count == nullptr) return E_POINTER;
  *count = manager_.GetRebuildCount();
  return S_OK;
}
