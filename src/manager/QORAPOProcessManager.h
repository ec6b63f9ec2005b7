#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "audio/QORAudioDataFloat.h"
#include "audio/QORXFadeFunction.h"
#include "chain/IQORAPOProcessChainPipeHook.h"
#include "chain/QORAPOProcessChain.h"
#include "endpoint/IQORAPOEndpointNotify.h"
#include "endpoint/QORAPOEndpointInfo.h"
#include "ipc/QORAPOSharedMeter.h"
#include "ipc/QORNamedPipeMarshall.h"
#include "platform/IQOREvent.h"
#include "platform/IQORNamedMutex.h"
#include "platform/QORCriticalSection.h"
#include "settings/IQORAPOModeSelectorNotify.h"
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
class QORAPOProcessManager : public IQORAPOEndpointNotify,
                             public IQORAPOModeSelectorNotify,
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

  QORAPOProcessManager();
  ~QORAPOProcessManager() override;
  QORAPOProcessManager(const QORAPOProcessManager&) = delete;
  QORAPOProcessManager& operator=(const QORAPOProcessManager&) = delete;

  void OnEndpointNotify(uint32_t kind) override;
  virtual bool SetEndpointInfo(const QORAPOEndpointInfo& endpoint, int32_t location);
  virtual void SetProcessingOverride(int32_t override);
  virtual void SetOutputMute(bool mute);
  virtual int64_t GetLatency();
  virtual bool Initialize(uint32_t inputChannels, uint32_t outputChannels, uint32_t sampleRate,
                          int32_t location);
  virtual void Process(const float* input, uint32_t* inputFrames, float* output,
                       uint32_t* outputFrames, bool inputSilent);
  virtual void ResetChains();
  virtual bool SwitchChains(uint32_t targetState);
  virtual uint32_t GetSwitchState();
  virtual void ConfigureChain(QORAPOProcessChain& chain);

  void OnModeSelectorChanged() override;
  void OnMutexFound(QORFindMutex& watcher, bool present) override;
  bool DoWork(QORThreadBasic& thread, IQOREvent& stopEvent) override;
  void OnPipeData(bool receive, IQORAudioData<float>& data) override;

  // Milliseconds between two counter readings, in 64-bit arithmetic so that long gaps are measured
  // correctly; 0 when the frequency is unknown or the clock went backwards.
  static uint64_t ElapsedMs(int64_t from, int64_t to, int64_t frequency);
  // Frames of silence pushed through after a stall: the latency plus 30 ms, in whole milliseconds.
  static uint32_t FlushFrames(uint32_t sampleRate, int64_t latency);
  // Largest absolute sample per channel; channels of the side-chain role stay 0.
  static void ComputePeaks(IQORAudioData<float>& data, std::vector<float>& peaks);

  // Roles, for the owner and tests; the pending chain is null while no switch is under way.
  QORAPOProcessChain* GetCurrentChain() const { return current_.load(); }
  QORAPOProcessChain* GetStandbyChain() const { return standby_.load(); }
  QORAPOProcessChain* GetPendingChain() const { return pending_.load(); }
  QORAPOProcessChain* GetSpareChain() const { return spare_.load(); }
  void SignalChange() { changeEvent_->Set(); }

 protected:
  // The common latency of the endpoint's chains, in units of 10 ns.
  virtual int64_t CalculateLatency();
  // Stops every thread that calls back into the manager; a subclass calls it from its destructor.
  void StopThreads();

 private:
  void FlushWithSilence();
  bool IsSwitching();
  void RestartTimer();
  void ReserveStorage();
  void CopyOut(float* output, uint32_t outputRoom, uint32_t* outputFrames);

  uint32_t inputChannels_ = 0;
  uint32_t outputChannels_ = 0;
  uint32_t sampleRate_ = 0;
  int32_t location_ = APO_FX_SFX;
  QORAPOEndpointInfo endpointInfo_;

  QORAPOProcessChain chainA_;
  QORAPOProcessChain chainB_;
  QORAPOProcessChain chainC_;
  std::atomic<QORAPOProcessChain*> current_{nullptr};
  std::atomic<QORAPOProcessChain*> standby_{nullptr};
  std::atomic<QORAPOProcessChain*> pending_{nullptr};
  std::atomic<QORAPOProcessChain*> spare_{nullptr};
  QORCriticalSection switchLock_;
  std::unique_ptr<IQOREvent> switchingEvent_;
  std::unique_ptr<IQOREvent> steadyEvent_;
  std::atomic<uint32_t> switchState_{kSwitchStateNew};
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

  // Period storage, kept between periods so that steady periods allocate nothing.
  QORAudioDataFloat input_;
  QORAudioDataFloat pendingInput_;
  QORAudioDataFloat output_;
  QORAudioDataFloat oldOutput_;
  std::vector<float> peaks_;
  std::vector<float> flushBuffer_;

  // Last member: its thread stops before anything it uses goes away.
  QORThreadBasic worker_;
};
