#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

#include "apo/IQORAPOHostState.h"
#include "manager/QORAPOProcessManager.h"
#include "platform/CBaseAudioProcessingObject.h"
#include "platform/IAudioSystemEffects2.h"
#include "platform/IMMDevice.h"
#include "platform/IPropertyStore.h"
#include "platform/QORCriticalSection.h"
#include "platform/QORWaveFormat.h"
#include "thread/QORThreadBasic.h"

// The engine-facing object of one graph position: negotiates float formats, attaches its manager
// to the endpoint at the first lock, initialises it for the format at every lock and carries each
// period through it, or straight through when the manager is not ready.
//
// Threads, as for the manager: configuration (the engine's configuration thread, never while a
// period runs), real-time (the thread that calls APOProcess), any. Besides the manager's threads
// (its worker, restarted at each lock, among them) the object runs the effects watcher thread,
// restarted by each GetEffectsList.
// CalcInputFrames and CalcOutputFrames come unchanged from the platform base: real-time, and
// safe on any thread since they only return their argument.
class CQOR_LFX_APO_Varion_Base : public CBaseAudioProcessingObject,
                                 public IAudioSystemEffects2,
                                 public IQORAPOHostState {
 public:
  static constexpr uint32_t kFadeFrames = 20;
  static constexpr uint32_t kNoFade = 0xFFFFFFFF;
  static constexpr float kMaxRate = 192000.0f;
  static constexpr int32_t kLockPriority = 15;

  // Configuration (the class factory, and the last release). The destructor stops the effects
  // watcher and, through the manager, the worker and every thread that calls back into it.
  CQOR_LFX_APO_Varion_Base(int32_t location, const APO_REG_PROPERTIES& properties);
  ~CQOR_LFX_APO_Varion_Base() override;

  // Any: fixed at construction.
  virtual int32_t GetLocation() const { return location_; }

  // Any. The registration every class of the module shares, with its own CLSID, name and
  // interface.
  static APO_REG_PROPERTIES MakeRegistration(const CLSID& clsid, const wchar_t* friendlyName,
                                             const IID& apoInterface);

  // Any (QueryInterface).
  HRESULT FindInterface(REFIID iid, void** object) override;

  // Configuration: keeps the endpoint's property store and device; attaching waits for the lock.
  HRESULT Initialize(UINT32 cbDataSize, BYTE* pbyData) override;
  // Any thread, but not while LockForProcess or UnlockForProcess runs. 0 while periods pass
  // straight through.
  HRESULT GetLatency(HNSTIME* latency) override;
  // Configuration: 32-bit float at an accepted channel count, up to 192 kHz; a rate that differs
  // from the opposite side's is answered with the requested layout at that side's rate.
  HRESULT IsInputFormatSupported(IAudioMediaType* opposite, IAudioMediaType* requested,
                                 IAudioMediaType** supported) override;
  HRESULT IsOutputFormatSupported(IAudioMediaType* opposite, IAudioMediaType* requested,
                                  IAudioMediaType** supported) override;
  // Configuration, with no period running: attaches the manager at the first lock, initialises
  // it for the format (which stops and restarts its worker) and sizes it for the output buffer.
  HRESULT LockForProcess(UINT32 u32NumInputConnections, APO_CONNECTION_DESCRIPTOR** inputs,
                         UINT32 u32NumOutputConnections,
                         APO_CONNECTION_DESCRIPTOR** outputs) override;
  // Configuration, with no period running. The manager's worker keeps running until the next
  // lock or the destructor.
  HRESULT UnlockForProcess() override;
  // Real-time: waits for nothing, and a steady period allocates nothing.
  void APOProcess(UINT32 u32NumInputConnections, APO_CONNECTION_PROPERTY** inputs,
                  UINT32 u32NumOutputConnections, APO_CONNECTION_PROPERTY** outputs) override;

  // Configuration; calls from two threads take turns. The effect types this position applies, in
  // CoTaskMemAlloc memory the caller frees. Each call takes its own handle to Event (when given)
  // in place of the last one, and restarts the watcher thread that signals it when the list may
  // have changed.
  HRESULT GetEffectsList(LPGUID* ppEffectsIds, UINT* pcEffects, HANDLE Event) override;

  // Configuration, with no period running: it reads the current chain.
  HRESULT GetHostState(QORAPOHostStateInfo* info) override;
  // Any.
  HRESULT GetRebuildCount(uint32_t* count) override;
  // Real-time, between periods.
  HRESULT ContinueAfterPause() override;

  // Any. Process-wide: objects alive, and objects locked for processing.
  static int32_t GetLiveInstances() { return liveInstances_.load(); }
  static int32_t GetLockedInstances() { return lockedInstances_.load(); }

  // Real-time (from APOProcess); touches only its arguments. The engine's pass-through of one
  // period: channels 0 to C-1 of the input, the other output channels zero. outputFrames 0 means
  // as many as the input has; room bounds what is written.
  static void PassThroughCopy(const float* input, uint32_t inputChannels, uint32_t inputFrames,
                              float* output, uint32_t outputChannels, uint32_t* outputFrames,
                              uint32_t room);
  // Real-time (from APOProcess); touches only its arguments. Multiplies the output's frames from
  // *position on by (position / length)^2 until length.
  static void FadeIn(float* output, uint32_t channels, uint32_t frames, uint32_t length,
                     uint32_t* position);

  // Configuration, for the owner and tests: set by Initialize and the lock.
  int32_t GetLockOrdinal() const { return lockOrdinal_; }
  bool IsAttached() const { return attached_; }
  bool IsReady() const { return ready_; }
  bool IsDiscoveryOnly() const { return discoveryOnly_; }
  const std::wstring& GetEndpointGuid() const { return endpointGuid_; }
  IMMDevice* GetEndpointDevice() const { return endpointDevice_.Get(); }
  UINT GetConnectorIndex() const { return connectorIndex_; }
  const GUID& GetProcessingMode() const { return processingMode_; }
  QORAPOProcessManager& GetManager() { return manager_; }

 protected:
  // Configuration (from LockForProcess).
  HRESULT ValidateAndCacheConnectionInfo(UINT32 u32NumInputConnections,
                                         APO_CONNECTION_DESCRIPTOR** inputs,
                                         UINT32 u32NumOutputConnections,
                                         APO_CONNECTION_DESCRIPTOR** outputs) override;
  // Configuration (format queries). Channel counts this position takes.
  virtual bool IsChannelCountAccepted(uint32_t channels) const;
  // Configuration: both format queries.
  HRESULT NegotiateFormat(IAudioMediaType* opposite, IAudioMediaType* requested,
                          IAudioMediaType** supported);
  // Configuration (from Initialize). Keeps the system-effects store and the device at index of the
  // collection.
  void KeepEndpoint(IPropertyStore* store, IMMDeviceCollection* devices, UINT index);
  // Configuration. The device at index, or none (traced) when the collection has no such device.
  void KeepDevice(IMMDeviceCollection* devices, UINT index);
  // Configuration (from the lock). Copies the first connection's format on each side, and the
  // room of the output buffer.
  void CacheFormats(UINT32 inputCount, APO_CONNECTION_DESCRIPTOR** inputs, UINT32 outputCount,
                    APO_CONNECTION_DESCRIPTOR** outputs);
  // Real-time. A period carries one input and one output connection; anything less is not
  // processed.
  static bool HasFirstConnections(UINT32 inputCount, APO_CONNECTION_PROPERTY** inputs,
                                  UINT32 outputCount, APO_CONNECTION_PROPERTY** outputs) {
    return inputCount >= 1 && outputCount >= 1 && inputs != nullptr && outputs != nullptr &&
           inputs[0] != nullptr && outputs[0] != nullptr;
  }
  // Configuration (at the lock): asks the system. The platform is older than 6.1.
  static bool IsOlderPlatform();
  // Real-time, and from GetLatency and GetHostState.
  bool PassThroughChosen() const;

  // Fixed at the lock; read by the real-time thread.
  const WAVEFORMATEXTENSIBLE& InputFormatCached() const { return inputFormat_; }
  const WAVEFORMATEXTENSIBLE& OutputFormatCached() const { return outputFormat_; }
  uint32_t OutputRoom() const { return outputRoom_; }
  // Configuration.
  IPropertyStore* GetEffectsPropertyStore() const { return propertyStore_.Get(); }

  static std::atomic<int32_t> liveInstances_;
  static std::atomic<int32_t> lockedInstances_;

  QORAPOProcessManager manager_;
  QORComPtr<IMMDevice> endpointDevice_;
  QORComPtr<IPropertyStore> propertyStore_;
  UINT connectorIndex_ = 0;
  GUID processingMode_ = GUID_NULL;
  bool discoveryOnly_ = false;
  bool attached_ = false;
  bool ready_ = false;
  WAVEFORMATEXTENSIBLE inputFormat_{};
  WAVEFORMATEXTENSIBLE outputFormat_{};
  int32_t lockOrdinal_ = -1;
  uint32_t fadeLength_ = 0;
  uint32_t fadePosition_ = kNoFade;
  QORCriticalSection effectsLock_;
  // Shared with the watcher, which may outlive a Stop that timed out.
  std::shared_ptr<IQOREvent> effectsChangeEvent_;
  std::wstring endpointGuid_;
  QORThreadBasic watcherThread_;
  int32_t location_;
  // Fixed at lock: what the period path reads without asking the system.
  bool olderPlatform_ = false;
  uint32_t outputRoom_ = 0;  // frames the output buffer holds; 0 when the engine did not say
};
