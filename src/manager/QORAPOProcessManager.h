#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "audio/QORAudioDataFloat.h"
#include "audio/QORXFadeFunction.h"
#include "chain/IQORAPOProcessChainPipeHook.h"
#include "chain/QORAPOProcessChain.h"
#include "endpoint/IQORAPOEndpointNotify.h"
#include "endpoint/QORAPOEndpointInfo.h"
#include "endpoint/QORAPOEndpointTools.h"
#include "endpoint/QORAPOGlobalSettings.h"
#include "endpoint/QORAPOModeSelector.h"
#include "endpoint/QORAPOPublicSettingsReader.h"
#include "ipc/QORAPOSharedMeter.h"
#include "ipc/QORNamedPipeMarshall.h"
#include "platform/IMMDevice.h"
#include "platform/IPropertyStore.h"
#include "platform/IQOREvent.h"
#include "platform/IQORNamedMutex.h"
#include "platform/QORComPtr.h"
#include "platform/QORCriticalSection.h"
#include "settings/IQORAPOModeSelectorNotify.h"
#include "settings/IQORAPOPublicSettingsNotify.h"
#include "settings/QORAPOConfigurationFile.h"
#include "thread/IQORFindMutexNotify.h"
#include "thread/IQORThreadBasicWorker.h"
#include "thread/QORFindMutex.h"
#include "thread/QORThreadBasic.h"

// Graph positions of an APO instance; the capture APO initialises its manager with -1.
enum APO_FX_Type : int32_t {
  APO_FX_Capture = -1,
  APO_FX_PreBlue = 0,
  APO_FX_SFX = 1,
  APO_FX_MFX = 2,
  APO_FX_EFX = 3,
  APO_FX_OSFX = 4,
  APO_FX_OMFX = 5,
};

// Performance-counter value at the end of the previous period, with the counter frequency.
struct TimeDelta {
  int64_t counter = 0;
  int64_t frequency = 0;
};

// One per APO instance: carries every period through the current chain and, while a switch is
// under way, through the pending chain too, crossfading from one to the other. Three chain objects
// rotate through the roles current, standby, pending and spare; the worker rebuilds the standby
// chain and starts a switch, the real-time thread finishes it.
//
// Threads. Each operation below names the thread it belongs to:
// - configuration: the engine's configuration thread; never while a period runs;
// - real-time: the thread that calls Process;
// - worker: the manager's own worker thread (DoWork);
// - any: any thread, at any time.
// The roles change only on their owner's thread: SwitchChains to switching on the worker, to
// steady on the real-time thread, ResetChains on the configuration thread while neither a worker
// nor a period runs. Debug builds assert this; a manager without a running worker (a test playing
// the worker) may start a switch from any thread. The real-time thread takes no lock and builds
// no chain: it ends a switch with atomic stores, and after a stall it leaves the rebuild to the
// worker.
class QORAPOProcessManager : public IQORAPOEndpointNotify,
                             public IQORAPOModeSelectorNotify,
                             public IQORAPOPublicSettingsNotify,
                             public IQORFindMutexNotify,
                             public IQORThreadBasicWorker,
                             public IQORAPOProcessChainPipeHook {
 public:
  static constexpr uint32_t kSwitchStateSwitching = 0;
  static constexpr uint32_t kSwitchStateSteady = 1;
  static constexpr uint32_t kSwitchStateNew = 2;
  // Stalls longer than this (ms) flush the chains with silence.
  static constexpr uint32_t kStallMs = 300;
  // Rebuilds are at least this far apart (ms).
  static constexpr uint32_t kRebuildSpacingMs = 100;
  static const wchar_t* const kCaptureMutexName;

  // Where the worker is in its loop, for the owner's diagnostics and tests.
  enum WorkerPhase : uint32_t {
    kWorkerStopped = 0,
    kWorkerWaitingForSteady = 1,  // a switch is under way: changes wait for its end
    kWorkerIdle = 2,              // steady and no change pending: blocked until the next change
    kWorkerRebuilding = 3,
  };

  // Configuration.
  QORAPOProcessManager();
  ~QORAPOProcessManager() override;
  QORAPOProcessManager(const QORAPOProcessManager&) = delete;
  QORAPOProcessManager& operator=(const QORAPOProcessManager&) = delete;

  // The endpoint tools' notification thread. Kind 3: the system-effects switch of the endpoint
  // changed; it is read again from the held property store.
  void OnEndpointNotify(uint32_t kind) override;
  // Configuration: finds the endpoint whose GUID the property store names among the endpoints the
  // tools list, attaches to it (SetEndpointInfo) and keeps the store to follow its system-effects
  // switch. False when the store names no GUID, no endpoint has it or its configuration does not
  // load; the manager then holds neither device nor store.
  virtual bool SetEndpoint(IMMDevice* endpoint, IPropertyStore* propertyStore, int32_t location);
  // Configuration: the direction SetEndpoint looks among; a capture object's manager looks among
  // the capture endpoints.
  void SetEndpointFlow(EDataFlow flow) { endpointFlow_ = flow; }
  // Configuration: a capture side that stops processing no longer announces itself (Initialize
  // takes the mutex again).
  void ReleaseCaptureMutex() { captureMutex_.reset(); }
  // Configuration: loads the endpoint's configuration file for the position; false when it does
  // not load (every chain then bypasses). A running worker is stopped around it.
  virtual bool SetEndpointInfo(const QORAPOEndpointInfo& endpoint, int32_t location);
  // Configuration: closes both meters and opens those the mode names (1 input, 2 output, 3 both).
  virtual void SetMeteringMode(uint32_t mode);
  // Any.
  virtual void SetProcessingOverride(int32_t override);
  // Any.
  virtual void SetOutputMute(bool mute);
  // Any thread, but not while Initialize runs.
  virtual int64_t GetLatency();
  // Configuration, before Initialize: the longest period the engine will hand over (its buffers'
  // frame count); the manager and its chains size their buffers for it, so no period allocates.
  void SetMaxPeriodFrames(uint32_t frames) { maxPeriodFrames_ = frames; }
  // Configuration: stops the worker, rebuilds every chain, starts the worker again.
  virtual bool Initialize(uint32_t inputChannels, uint32_t outputChannels, uint32_t sampleRate,
                          int32_t location);
  // Real-time. Writes the whole output buffer: the chain's frames, then zeros.
  virtual void Process(const float* input, uint32_t* inputFrames, float* output,
                       uint32_t* outputFrames, bool inputSilent);
  // Configuration, with the worker stopped and no period running. The steady state is published
  // last, so whoever sees it finds the roles reset and both first chains configured.
  virtual void ResetChains();
  // Target switching: worker. Target steady: real-time. Other targets change nothing.
  virtual bool SwitchChains(uint32_t targetState);
  // Any.
  virtual uint32_t GetSwitchState();
  // Real-time, between periods: the time until the next period is a pause its host made on
  // purpose (an offline host waiting for a rebuild), not a stall, so it flushes nothing.
  void ContinueAfterPause() { RestartTimer(); }
  // Worker for the standby chain, configuration for the first two chains (from ResetChains).
  virtual void ConfigureChain(QORAPOProcessChain& chain);

  // Any (the notifier's thread).
  void OnModeSelectorChanged() override;
  // The global settings' watch thread: "VAPO3-Process Enable" switches the bypass.
  void OnPublicSettingChanged(QORAPOPublicSettings& source, const QORUTSValue& control) override;
  // The capture mutex watcher's thread.
  void OnMutexFound(QORFindMutex& watcher, bool present) override;
  // Worker.
  bool DoWork(QORThreadBasic& thread, IQOREvent& stopEvent) override;
  // Real-time (called by a chain during Process).
  void OnPipeData(bool receive, IQORAudioData<float>& data) override;

  // Milliseconds between two counter readings, in 64-bit arithmetic so that long gaps are measured
  // correctly; 0 when the frequency is unknown or the clock went backwards.
  static uint64_t ElapsedMs(int64_t from, int64_t to, int64_t frequency);
  // Frames of silence pushed through after a stall: the latency plus 30 ms, in whole milliseconds.
  static uint32_t FlushFrames(uint32_t sampleRate, int64_t latency);
  // Largest absolute sample per channel of an interleaved array (the engine's arrays carry no
  // side-chain channel).
  static void InterleavedPeaks(const float* samples, uint32_t frames, uint32_t channels,
                               std::vector<float>& peaks);

  // Any. Roles, for the owner and tests; the pending chain is null while no switch is under way.
  QORAPOProcessChain* GetCurrentChain() const { return current_.load(); }
  QORAPOProcessChain* GetStandbyChain() const { return standby_.load(); }
  QORAPOProcessChain* GetPendingChain() const { return pending_.load(); }
  QORAPOProcessChain* GetSpareChain() const { return spare_.load(); }
  // Configuration. What SetEndpointInfo found, for the owner and tests.
  const QORAPOConfigurationFile& GetConfiguration() const { return configuration_; }
  bool GetSideChainPipeFlag() const { return sideChainPipeFlag_; }
  bool GetCaptureWatchFlag() const { return captureWatchFlag_; }
  uint32_t GetMeteringMode() const { return meteringMode_; }
  IMMDevice* GetEndpointDevice() const { return endpointDevice_.Get(); }
  IPropertyStore* GetPropertyStore() const { return propertyStore_.Get(); }
  // Any: wakes the worker as a settings notification does.
  void SignalChange() { changeEvent_->Set(); }
  // Any: where the worker is, and how many switches it has started in all.
  WorkerPhase GetWorkerPhase() const { return workerPhase_.load(); }
  uint32_t GetRebuildCount() const { return rebuilds_.load(); }

 protected:
  // Configuration (from Initialize). The common latency of the endpoint's chains, in units of 10
  // ns: 0 without a configuration.
  virtual int64_t CalculateLatency();
  // Worker or configuration. The mode to build: the selector's, else the configuration's default.
  virtual QORAPOModeIdentity CurrentModeIdentity();
  // Configuration (from Initialize). Records, once per process, where the technology library is
  // and counts the initialisations, under the endpoint's registry subkey; failures only trace.
  virtual void WriteRegistryMetrics();
  // Configuration. Stops every thread that calls back into the manager; a subclass calls it from
  // its destructor.
  void StopThreads();
  // For tests: the lock the worker and the configuration thread take to change the roles.
  QORCriticalSection& SwitchLockForTesting() { return switchLock_; }

 private:
  bool RunWorker(IQOREvent& stopEvent);
  void FlushWithSilence();
  bool IsSwitching();
  void RestartTimer();
  void ReserveStorage();
  bool AttachEndpointInfo(const QORAPOEndpointInfo& endpoint, int32_t location);
  // The chains' part of a period; the frames written to output.
  uint32_t RunChains(const float* input, uint32_t frames, float* output, uint32_t outputRoom);
  uint32_t CopyOut(QORAudioDataFloat& result, float* output, uint32_t outputRoom);
  // Worker: false when the stop event fired first.
  bool WaitForSteady(IQOREvent& stopEvent);
  void OpenReader(QORAPOPublicSettingsReader& reader);
  // Detaches from the endpoint tools, then drops the device and the store they made us read.
  void ReleaseEndpoint();
  // The system-effects switch from the held store into its flag; true when the flag changed.
  bool ReadSysFxDisabled();

  uint32_t inputChannels_ = 0;
  uint32_t outputChannels_ = 0;
  uint32_t sampleRate_ = 0;
  uint32_t maxPeriodFrames_ = 0;
  int32_t location_ = APO_FX_SFX;
  EDataFlow endpointFlow_ = eRender;
  QORComPtr<IMMDevice> endpointDevice_;
  // Read on the tools' thread while it is registered; replaced only while it is not.
  QORComPtr<IPropertyStore> propertyStore_;
  QORAPOEndpointTools endpointTools_;
  QORAPOEndpointInfo endpointInfo_;
  QORAPOConfigurationFile configuration_;
  bool configured_ = false;     // the configuration loaded
  int32_t loadedLocation_ = 0;  // the position it was loaded for
  QORAPOGlobalSettings globalSettings_;
  QORAPOModeSelector modeSelector_;

  QORAPOProcessChain chainA_;
  QORAPOProcessChain chainB_;
  QORAPOProcessChain chainC_;
  std::atomic<QORAPOProcessChain*> current_{nullptr};
  std::atomic<QORAPOProcessChain*> standby_{nullptr};
  std::atomic<QORAPOProcessChain*> pending_{nullptr};
  std::atomic<QORAPOProcessChain*> spare_{nullptr};
  // Taken by the worker and the configuration thread, never by the real-time thread.
  QORCriticalSection switchLock_;
  std::atomic<uint32_t> switchState_{kSwitchStateNew};
  // Set by the real-time thread when a stall hit a switch; the worker rebuilds after it.
  std::atomic<bool> rebuildAfterStall_{false};
  TimeDelta processTimer_;
  bool flushing_ = false;

  QORNamedPipeMarshall sideChainPipe_;
  bool sideChainConnected_ = false;
  bool sideChainPipeFlag_ = false;
  bool captureWatchFlag_ = false;
  std::atomic<uint32_t> capturePresent_{0};
  QORFindMutex captureWatcher_;
  QORAudioDataFloat pipeCache_;
  bool processingPending_ = false;

  int64_t latency_ = 0;
  QORXFadeFunction crossfade_;
  uint32_t meteringMode_ = 0;
  QORAPOSharedMeter inputMeter_;
  QORAPOSharedMeter outputMeter_;
  std::unique_ptr<IQORNamedMutex> captureMutex_;
  std::atomic<bool> outputMute_{false};
  std::atomic<int32_t> processingOverride_{0};
  std::atomic<uint32_t> bypassFlag_{0};
  std::atomic<uint32_t> sysFxDisabled_{0};
  std::unique_ptr<IQOREvent> changeEvent_;
  std::atomic<WorkerPhase> workerPhase_{kWorkerStopped};
  std::atomic<uint32_t> rebuilds_{0};
  // The threads that own the roles right now, for the debug checks of the thread contract; an
  // empty id while that thread is not inside the manager. Recorded only in debug builds.
  std::atomic<std::thread::id> workerThread_{};
  std::atomic<std::thread::id> periodThread_{};

  // Period storage, kept between periods so that steady periods allocate nothing.
  QORAudioDataFloat input_;
  QORAudioDataFloat output_;
  QORAudioDataFloat oldOutput_;
  std::vector<float> peaks_;
  std::vector<float> flushBuffer_;

  // Last member: its thread stops before anything it uses goes away.
  QORThreadBasic worker_;
};
