#include "manager/QORAPOProcessManager.h"

#include <algorithm>
#include <cassert>
#include <cmath>
#include <cstring>
#include <map>
#include <string>
#include <tuple>

#include "audio/QORAudioPeak.h"
#include "chain/QORAPOLatencyCalculator.h"
#include "chain/QORAPOProcessLibrary.h"
#include "common/QORTrace.h"
#include "common/QORTraceLog.h"
#include "endpoint/QORAPOEndpointTools.h"
#include "endpoint/QORAPOPublicSettingsReader.h"
#include "platform/QORAudioEndpointKeys.h"
#include "platform/QORComApi.h"
#include "platform/QORDenormalGuard.h"
#include "platform/QORPerformanceCounter.h"
#include "platform/QORRegistryKey.h"
#include "platform/QORWait.h"
#include "settings/QORAPOChannelCode.h"

namespace {
constexpr uint32_t kTuningPollMs = 200;
// How often the worker looks for the end of a switch.
constexpr uint32_t kSteadyPollMs = 2;
constexpr int64_t kFlushExtra = 3000000;  // 30 ms beyond the latency

constexpr wchar_t kInitCountValue[] = L"QorApoInitCount";

// Set once a manager of this process has recorded the technology library's path.
std::atomic<bool> techPathWritten{false};

// The system-effects switch: 1 in the low 16 bits of an integer value means effects are off.
uint32_t SysFxDisabledOf(const PROPVARIANT& value) {
  uint32_t bits = 0;
  switch (value.vt) {
    case VT_I2:
    case VT_UI2:
      bits = value.uiVal;
      break;
    case VT_I4:
    case VT_UI4:
      bits = value.ulVal;
      break;
    case VT_I8:
    case VT_UI8:
      bits = static_cast<uint32_t>(value.uhVal.QuadPart);
      break;
    default:
      return 0;
  }
  return (bits & 0xFFFF) == 1 ? 1 : 0;
}

// True when no thread is recorded as owner, or the caller is that thread.
[[maybe_unused]] bool IsOwnerOrNone(const std::atomic<std::thread::id>& owner) {
  const std::thread::id id = owner.load();
  return id == std::thread::id() || id == std::this_thread::get_id();
}
}  // namespace

const wchar_t* const QORAPOProcessManager::kCaptureMutexName = L"Global\\QORAPOCapturePresent";

QORAPOProcessManager::QORAPOProcessManager() : changeEvent_(QORCreateEvent(false, false)) {
  // The trace log starts its thread on first use; never let that be the real-time thread.
  QORTraceLog::Instance();
  RestartTimer();
  // Gives every endpoint an effects-properties key when the maker asks for it; no device of its
  // own.
  QORAPOEndpointTools::InitFxProperties();
}

QORAPOProcessManager::~QORAPOProcessManager() {
  // Once unregistered, the tools' thread no longer calls in.
  endpointTools_.Unregister(this);
  // Their watch threads call back into members that go away before them.
  modeSelector_.SetNotify(nullptr);
  globalSettings_.SetNotify(nullptr);
  StopThreads();
}

void QORAPOProcessManager::StopThreads() {
  worker_.Stop(0);
  captureWatcher_.GetThread().Stop(0);
  captureWatcher_.SetListener(nullptr);
  sideChainPipe_.GetPipe().StopThread();
  sideChainConnected_ = false;
}

void QORAPOProcessManager::OnEndpointNotify(uint32_t kind) {
  if (!propertyStore_) return;
  const HRESULT init = CoInitialize(nullptr);
  if (kind == QORAPOEndpointTools::kSysFxChanged) {
    ReadSysFxDisabled();
    changeEvent_->Set();
  }
  if (init == S_OK || init == S_FALSE) CoUninitialize();
}

bool QORAPOProcessManager::ReadSysFxDisabled() {
  PROPVARIANT value;
  PropVariantInit(&value);
  const uint32_t disabled =
      SUCCEEDED(propertyStore_->GetValue(PKEY_AudioEndpoint_Disable_SysFx, &value))
          ? SysFxDisabledOf(value)
          : 0;
  PropVariantClear(&value);
  return sysFxDisabled_.exchange(disabled) != disabled;
}

void QORAPOProcessManager::ReleaseEndpoint() {
  endpointTools_.Unregister(this);
  endpointDevice_.Reset();
  propertyStore_.Reset();
  // The switch belonged to the store just dropped; whatever comes next brings its own.
  sysFxDisabled_.store(0);
}

bool QORAPOProcessManager::SetEndpoint(IMMDevice* /*endpoint*/, IPropertyStore* propertyStore,
                                       int32_t location) {
  globalSettings_.SetNotify(nullptr);
  ReleaseEndpoint();
  if (propertyStore == nullptr) return false;

  // The endpoint is found by its GUID among the active ones, with all the tools read about it.
  GUID guid = GUID_NULL;
  PROPVARIANT value;
  PropVariantInit(&value);
  const bool named = SUCCEEDED(propertyStore->GetValue(PKEY_AudioEndpoint_GUID, &value)) &&
                     value.vt == VT_LPWSTR && value.pwszVal != nullptr &&
                     QORGuidFromString(value.pwszVal, &guid);
  PropVariantClear(&value);
  if (!named) return false;
  QORAPOEndpointInfo endpoint;
  if (!endpointTools_.FindEndpoint(endpointFlow_, guid, endpoint)) return false;
  if (!SetEndpointInfo(endpoint, location)) return false;
  propertyStore->AddRef();
  propertyStore_ = QORComPtr<IPropertyStore>::Attach(propertyStore);
  // Effects switched off before the attach bypass from the first chain on, not only after the
  // next change of the switch.
  if (ReadSysFxDisabled()) changeEvent_->Set();
  endpointTools_.Register(this);
  return true;
}

bool QORAPOProcessManager::SetEndpointInfo(const QORAPOEndpointInfo& endpoint, int32_t location) {
  // The worker reads the endpoint, the configuration and the flags written here: it waits out
  // the change and then goes on with the chains it has.
  const bool workerRan = worker_.IsRunning();
  worker_.Stop(0);
  const bool attached = AttachEndpointInfo(endpoint, location);
  if (workerRan) worker_.Start(this);
  return attached;
}

bool QORAPOProcessManager::AttachEndpointInfo(const QORAPOEndpointInfo& endpoint,
                                              int32_t location) {
  modeSelector_.SetNotify(nullptr);
  ReleaseEndpoint();
  sideChainPipeFlag_ = false;
  captureWatchFlag_ = false;
  location_ = location;
  configured_ =
      configuration_.Load(endpoint.GetConfigurationPath(), QORAPOConfigurationFile::kSelectorPlain,
                          static_cast<uint32_t>(location)) == 0;
  if (!configured_) return false;
  // The latency is cached per position: positions of one endpoint build different chains.
  loadedLocation_ = location;
  endpointInfo_ = endpoint;

  if (modeSelector_.Init(endpointInfo_, configuration_.GetDefaultMode())) {
    modeSelector_.SetNotify(this);
  }
  globalSettings_.SetNotify(nullptr);
  if (globalSettings_.InitGlobal(endpointInfo_)) {
    QORUTSValueList globals;
    globalSettings_.ReadControls(globals, true);
    if (const QORUTSValue* enable = globals.Find(QORAPOGlobalSettings::kProcessEnable)) {
      bypassFlag_.store(enable->GetIndex() == 0 ? 1 : 0);
    }
    globalSettings_.SetNotify(this);
  }
  if (IMMDevice* device = endpointInfo_.GetDevice()) {
    device->AddRef();
    endpointDevice_ = QORComPtr<IMMDevice>::Attach(device);
  }

  // A side-chain pipe is set up only when both directions have processes to link.
  bool renderSide = false;
  bool captureSide = false;
  for (const auto& mode : configuration_.GetOperatingModes()) {
    if (mode->IsAutoMic()) captureWatchFlag_ = true;
    for (const ChainEntry& chain : mode->GetChainDefinition().GetEntries()) {
      for (const ProcessEntry& process : chain.processes) {
        if (process.hook != ProcessEntry::kSidechainPipe &&
            process.techId == ProcessEntry::kSidechainPipe) {
          continue;
        }
        (chain.render ? renderSide : captureSide) = true;
      }
    }
  }
  sideChainPipeFlag_ = renderSide && captureSide;

  if (endpointInfo_.IsRender()) {
    static const std::map<std::string, uint32_t> kMeteringModes = {
        {"VAPO3-Input", 1}, {"VAPO3-Output", 2}, {"VAPO3-Both", 3}};
    const QORUTSValue* metering = configuration_.GetProperties().Find("VAPO3-Metering Mode");
    if (metering != nullptr) {
      const auto found = kMeteringModes.find(metering->GetValueText());
      SetMeteringMode(found != kMeteringModes.end() ? found->second : 0);
    }
  } else {
    SetMeteringMode(0);
  }
  return true;
}

void QORAPOProcessManager::SetMeteringMode(uint32_t mode) {
  outputMeter_.Close();
  inputMeter_.Close();
  meteringMode_ = mode;
  // A meter that does not open stays closed: the period path skips it.
  for (const auto& [bit, meter, index] :
       {std::tuple{1u, &inputMeter_, 0u}, std::tuple{2u, &outputMeter_, 1u}}) {
    if ((mode & bit) == 0 || mode > 3) continue;
    if (!meter->OpenCreate(endpointInfo_, index)) {
      const std::string& obstacle = meter->Obstacle();
      QORTrace({"QORAPOProcessManager", __LINE__, "QORAPOProcessManager::SetMeteringMode"},
               "ERROR: meter %u did not open%s%s\n", index, obstacle.empty() ? "" : ": ",
               obstacle.c_str());
    }
  }
}

QORAPOModeIdentity QORAPOProcessManager::CurrentModeIdentity() {
  QORAPOModeIdentity identity = configuration_.GetDefaultMode();
  if (!modeSelector_.GetMode(identity)) identity = configuration_.GetDefaultMode();
  return identity;
}

void QORAPOProcessManager::SetProcessingOverride(int32_t override) {
  processingOverride_.exchange(override);
}

void QORAPOProcessManager::SetOutputMute(bool mute) {
  outputMute_.store(mute);
}

int64_t QORAPOProcessManager::GetLatency() {
  return latency_;
}

int64_t QORAPOProcessManager::CalculateLatency() {
  if (!configured_) return 0;
  QORAPOLatencyCalculator calculator;
  // Positions of one endpoint share its subkey; the local-effect position keeps the plain names.
  const std::wstring position =
      loadedLocation_ == 0 ? std::wstring() : L"@" + std::to_wstring(loadedLocation_);
  if (!calculator.Calculate(endpointInfo_, configuration_.GetOperatingModes(), sampleRate_,
                            position)) {
    QORTrace({"QORAPOProcessManager", __LINE__, "QORAPOProcessManager::CalculateLatency"},
             "ERROR: no chain of location %d built, latency %lld\n", loadedLocation_,
             static_cast<long long>(calculator.GetLatency()));
  }
  return calculator.GetLatency();
}

bool QORAPOProcessManager::Initialize(uint32_t inputChannels, uint32_t outputChannels,
                                      uint32_t sampleRate, int32_t location) {
  location_ = location;
  StopThreads();
  captureWatcher_.SetState(QORFindMutex::kStateUnchecked);
  captureMutex_.reset();

  inputChannels_ = inputChannels;
  outputChannels_ = outputChannels;
  sampleRate_ = sampleRate;
  processingPending_ = false;

  if (sideChainPipeFlag_) {
    if (endpointInfo_.IsRender()) {
      sideChainPipe_.Init(0, true);
    } else {
      captureMutex_ = QORCreateNamedMutex(kCaptureMutexName, false);
      if (captureMutex_ == nullptr) {
        // Render instances then never learn that the capture side runs.
        QORTrace({"QORAPOProcessManager", __LINE__, "QORAPOProcessManager::Initialize"},
                 "ERROR: capture mutex not created\n");
      }
      sideChainPipe_.GetPipe().Init(16000, QORNamedPipeAudio::kRoleWriter);
      sideChainPipe_.SetReader(false);
      sideChainPipe_.SetOverrunCount(0);
    }
    if (!sideChainConnected_) {
      sideChainConnected_ = sideChainPipe_.GetPipe().StartThread();
      sideChainPipe_.SetRunning(sideChainConnected_);
    }
    if (captureWatchFlag_) {
      captureWatcher_.SetName(kCaptureMutexName);
      captureWatcher_.GetThread().Stop(0);
      captureWatcher_.SetState(QORFindMutex::kStateUnchecked);
      captureWatcher_.SetListener(this);
      captureWatcher_.CheckNow();
      captureWatcher_.GetThread().Start(&captureWatcher_);
    }
  }

  latency_ = CalculateLatency();
  WriteRegistryMetrics();
  ReserveStorage();
  ResetChains();
  worker_.Start(this);
  return true;
}

void QORAPOProcessManager::WriteRegistryMetrics() {
  if (techPathWritten.load()) return;
  const std::wstring& subkey = endpointInfo_.GetRegistrySubkey();
  if (subkey.empty()) return;
  QORRegistryKey key;
  if (QORRegistryKey::Open(QORRegistryHive::kLocalMachine, subkey, KEY_QUERY_VALUE | KEY_SET_VALUE,
                           key) != ERROR_SUCCESS) {
    return;
  }
  const std::wstring path = QORAPOProcessLibrary::GetPath();
  if (!path.empty() &&
      key.SetString(QORAPOEndpointInfo::kTechPathValue, path, REG_SZ) == ERROR_SUCCESS) {
    techPathWritten.store(true);
  }
  uint32_t count = 0;
  if (key.GetDword(kInitCountValue, &count) != ERROR_SUCCESS) count = 0;
  ++count;
  if (key.SetDword(kInitCountValue, count) == ERROR_SUCCESS) {
    QORTraceW({"QORAPOProcessManager", __LINE__, "QORAPOProcessManager::WriteRegistryMetrics"},
              L"OK: dwCount=%d\n", static_cast<int>(count));
  } else {
    QORTraceW({"QORAPOProcessManager", __LINE__, "QORAPOProcessManager::WriteRegistryMetrics"},
              L"ERROR: regKey.SetDWORDValue(%ls) failed, dwCount=%d\n", kInitCountValue,
              static_cast<int>(count));
  }
}

void QORAPOProcessManager::ReserveStorage() {
  // A stall flush runs a period of this size on the real-time thread, and the engine may hand over
  // periods as long as its buffers: size everything for the longer now.
  const uint32_t flushFrames = FlushFrames(sampleRate_, latency_);
  const uint32_t channels = std::max(inputChannels_, outputChannels_);
  flushBuffer_.assign(static_cast<size_t>(flushFrames) * channels, 0.0f);
  for (QORAudioDataFloat* buffer : {&input_, &output_, &oldOutput_}) {
    buffer->Init(std::max(flushFrames, maxPeriodFrames_), channels, sampleRate_);
    buffer->GetSamples(false, true);
    buffer->GetSamples(false, false);
  }
  peaks_.reserve(std::max<size_t>(channels, 16));
}

void QORAPOProcessManager::ResetChains() {
  // Resetting the roles under a running worker or period would pull chains from under them.
  assert(workerThread_.load() == std::thread::id() && "ResetChains with the worker running");
  assert(periodThread_.load() == std::thread::id() && "ResetChains during a period");
  {
    // Neither steady nor switching until the chains are ready.
    QORCriticalSectionLock lock(switchLock_);
    switchState_.store(kSwitchStateNew);
  }
  rebuildAfterStall_.store(false);
  chainA_.Reset();
  chainB_.Reset();
  chainC_.Reset();
  {
    QORCriticalSectionLock lock(switchLock_);
    current_.store(&chainA_);
    standby_.store(&chainB_);
    spare_.store(&chainC_);
    pending_.store(nullptr);
  }
  changeEvent_->Reset();
  ConfigureChain(*current_.load());
  ConfigureChain(*standby_.load());
  crossfade_.Start(sampleRate_, latency_);
  // Building the chains takes time that is no stall of the real-time thread.
  RestartTimer();
  // Published last: whoever sees the steady state finds the new roles and configured chains.
  QORCriticalSectionLock lock(switchLock_);
  switchState_.store(kSwitchStateSteady);
}

bool QORAPOProcessManager::SwitchChains(uint32_t targetState) {
  // A switch started beside the worker hands the real-time thread a chain still being built; one
  // finished beside a period swaps the chains that period is running.
  assert((targetState != kSwitchStateSwitching || IsOwnerOrNone(workerThread_)) &&
         "switch started off the worker thread");
  assert((targetState != kSwitchStateSteady || IsOwnerOrNone(periodThread_)) &&
         "switch finished off the real-time thread");
  if (targetState == kSwitchStateSteady) {
    // The real-time thread takes no lock: the roles it hands over are published with atomics,
    // the state last, and nobody else writes them while a switch is under way (the worker waits
    // for the steady state before it starts the next one).
    if (switchState_.load() != kSwitchStateSwitching) {
      return switchState_.load() == kSwitchStateSteady;
    }
    spare_.store(current_.load());
    current_.store(pending_.load());
    pending_.store(nullptr);
    switchState_.store(kSwitchStateSteady);
    return true;
  }
  QORCriticalSectionLock lock(switchLock_);
  if (targetState == kSwitchStateSwitching && switchState_.load() == kSwitchStateSteady) {
    // The roles first, the state last: whoever sees the switch finds its pending chain.
    pending_.store(standby_.load());
    standby_.store(spare_.load());
    spare_.store(nullptr);
    switchState_.store(kSwitchStateSwitching);
  }
  return switchState_.load() == targetState;
}

uint32_t QORAPOProcessManager::GetSwitchState() {
  return switchState_.load();
}

void QORAPOProcessManager::ConfigureChain(QORAPOProcessChain& chain) {
  // Whatever happens below, the chain passes audio through at the common latency.
  chain.targetLatency = GetLatency();
  chain.maxPeriodFrames = maxPeriodFrames_;
  chain.PreparePassThrough(endpointInfo_, outputChannels_, sampleRate_);

  std::shared_ptr<QORAPOOperatingMode> mode;
  if (configured_) {
    QORAPOModeIdentity identity = CurrentModeIdentity();
    for (int attempt = 0; attempt < 2 && mode == nullptr; ++attempt) {
      const bool found = (captureWatchFlag_ && capturePresent_.load() != 0)
                             ? configuration_.FindAutoMicMode(identity, mode)
                             : configuration_.FindOperatingMode(identity, mode);
      if (!found) {
        mode.reset();
        identity = configuration_.GetDefaultMode();
      }
    }
  }
  if (mode == nullptr) {
    chain.bypassed = true;
    chain.UpdateLatency();
    return;
  }
  QORAPOProcessChain::Request request;
  request.endpoint = endpointInfo_;
  request.mode = *mode;
  request.inputCode = QORAPOChannelCode::FromChannelCount(inputChannels_);
  request.outputCode = QORAPOChannelCode::FromChannelCount(outputChannels_);
  request.sampleRate = sampleRate_;
  chain.ConstructChain(request);

  uint32_t bypass = bypassFlag_.load();
  const uint32_t sysFx = sysFxDisabled_.load();
  const int32_t override = processingOverride_.load();
  if (override != 0) bypass = override == 1 ? 1 : 0;
  chain.bypassed = !(chain.constructed && bypass == 0 && sysFx == 0);
  chain.UpdateLatency();
}

bool QORAPOProcessManager::IsSwitching() {
  return switchState_.load() == kSwitchStateSwitching;
}

void QORAPOProcessManager::RestartTimer() {
  QORPerformanceCounter::Query(&processTimer_.counter);
}

uint64_t QORAPOProcessManager::ElapsedMs(int64_t from, int64_t to, int64_t frequency) {
  if (frequency <= 0 || to < from) return 0;
  const auto ticks = static_cast<uint64_t>(to - from);
  const auto hz = static_cast<uint64_t>(frequency);
  // Split to keep ticks * 1000 from overflowing on very long gaps.
  return (ticks / hz) * 1000 + (ticks % hz) * 1000 / hz;
}

uint32_t QORAPOProcessManager::FlushFrames(uint32_t sampleRate, int64_t latency) {
  const auto ms = static_cast<int64_t>(static_cast<double>(latency + kFlushExtra) / 100000.0);
  if (ms <= 0) return 0;
  return static_cast<uint32_t>(std::min<int64_t>(int64_t{sampleRate} * ms / 1000, UINT32_MAX));
}

void QORAPOProcessManager::InterleavedPeaks(const float* samples, uint32_t frames,
                                            uint32_t channels, std::vector<float>& peaks) {
  peaks.assign(channels, 0.0f);
  QORAudioPeak::OfInterleaved(samples, frames, channels, peaks.data());
}

void QORAPOProcessManager::Process(const float* input, uint32_t* inputFrames, float* output,
                                   uint32_t* outputFrames, bool inputSilent) {
  // Decaying chains and crossfades must not fall into subnormal arithmetic, whoever's thread this
  // is.
  QORDenormalGuard denormals;
#ifndef NDEBUG
  // The flush's nested call runs on the same thread: only the outer call records it.
  const bool outerPeriod = !flushing_;
  if (outerPeriod) periodThread_.store(std::this_thread::get_id());
#endif
  const uint32_t frames = *inputFrames;
  const uint32_t outputRoom = *outputFrames;

  // A stall is the gap from the end of the previous period to the start of this one; the flush's
  // own period follows its caller's start at once.
  int64_t now = 0;
  if (!flushing_ && QORPerformanceCounter::Query(&now)) {
    if (processTimer_.frequency <= 0) QORPerformanceCounter::Frequency(&processTimer_.frequency);
    const uint64_t elapsed = ElapsedMs(processTimer_.counter, now, processTimer_.frequency);
    if (elapsed > kStallMs) {
      processTimer_.counter = now;
      // A switch under way finishes as it is; the worker builds a fresh chain after it, since
      // nothing is built on this thread.
      if (IsSwitching()) rebuildAfterStall_.store(true);
      if ((location_ != APO_FX_OSFX && location_ != APO_FX_OMFX) || inputSilent) {
        QORTrace({"QORAPOProcessManager", __LINE__, "QORAPOProcessManager::Process"},
                 "QORAPOProcessManager::Process - was stale for %d ms , APO location=%d\n",
                 static_cast<int>(std::min<uint64_t>(elapsed, INT32_MAX)), location_);
        FlushWithSilence();
      }
    }
  }

  // The flush's output is thrown away: it shows on no meter.
  const bool meterInput = !flushing_ && (meteringMode_ & 1) != 0 && inputMeter_.IsOpen();
  const bool meterOutput = !flushing_ && (meteringMode_ & 2) != 0 && outputMeter_.IsOpen();
  // Measured before anything is written: the engine may hand the same buffer for both.
  if (meterInput && input != nullptr) {
    InterleavedPeaks(input, frames, inputChannels_, peaks_);
    inputMeter_.Update(peaks_, false);
  }

  const uint32_t produced = RunChains(input, frames, output, outputRoom);

  if (output != nullptr) {
    if (meterOutput) {
      InterleavedPeaks(output, produced, outputChannels_, peaks_);
      outputMeter_.Update(peaks_, false);
    }
    // Every period writes the whole buffer: nothing of an earlier period stays past the chain's
    // frames, and a muted period is zeros throughout.
    const uint32_t from = outputMute_.load() ? 0 : produced;
    std::fill(output + static_cast<size_t>(from) * outputChannels_,
              output + static_cast<size_t>(outputRoom) * outputChannels_, 0.0f);
  }
  *outputFrames = produced;
  // Measured from here to the start of the next period.
  RestartTimer();
#ifndef NDEBUG
  if (outerPeriod) periodThread_.store(std::thread::id());
#endif
}

uint32_t QORAPOProcessManager::RunChains(const float* input, uint32_t frames, float* output,
                                         uint32_t outputRoom) {
  // Only this thread ends a switch: one that has begun lasts at least to the end of the period,
  // and one that begins meanwhile is taken up by the next period.
  const bool switching = IsSwitching();
  QORAPOProcessChain* current = current_.load();

  // A chain that passes audio through runs between the engine's arrays, without a copy.
  if (!switching && input != nullptr && output != nullptr && inputChannels_ == outputChannels_ &&
      frames <= outputRoom) {
    const bool overlap = input != output &&
                         input < output + static_cast<size_t>(frames) * outputChannels_ &&
                         output < input + static_cast<size_t>(frames) * inputChannels_;
    if (!overlap && current->PassThroughInterleaved(input, output, frames, outputChannels_, this)) {
      return frames;
    }
  }

  // Take the input before writing the output: the engine may hand the same buffer for both.
  input_.Assign(input, frames, inputChannels_, true, sampleRate_);
  if (switching) {
    // The pending chain takes the running state before the current chain moves on with this
    // period: both then process the same period from the same state.
    if (crossfade_.GetProgress() >= 1.0f) crossfade_.Start(sampleRate_, latency_);
    if (crossfade_.GetProgress() == 0.0f) pending_.load()->TakeStateFrom(*current);
  }

  // Outside a switch, matching layouts run in place: the input buffer becomes the result. The
  // chains never write their input, so during a switch both read the same period.
  QORAudioDataFloat* result = &output_;
  if (!switching && inputChannels_ == outputChannels_ && outputRoom >= input_.GetFrameCount()) {
    current->Process(input_, input_, this);
    result = &input_;
  } else {
    output_.Init(outputRoom, outputChannels_, sampleRate_);
    current->Process(input_, output_, this);
  }

  if (switching) {
    QORAPOProcessChain* pending = pending_.load();
    oldOutput_.CopyFrom(output_);
    output_.Init(outputRoom, outputChannels_, sampleRate_);
    if (endpointInfo_.IsRender()) {
      processingPending_ = true;
      pending->Process(input_, output_, this);
      processingPending_ = false;
    } else {
      pending->Process(input_, output_, nullptr);
    }
    crossfade_.Mix(oldOutput_, output_);
    if (crossfade_.GetProgress() >= 1.0f) SwitchChains(kSwitchStateSteady);
  }
  return CopyOut(*result, output, outputRoom);
}

uint32_t QORAPOProcessManager::CopyOut(QORAudioDataFloat& result, float* output,
                                       uint32_t outputRoom) {
  const uint32_t frames = result.GetFrameCount();
  const uint32_t channels = result.GetChannelCount();
  // Never write past the engine's buffer, nor read past the chain's.
  const uint32_t written = std::min(frames, outputRoom);
  if (output != nullptr && static_cast<uint64_t>(frames) * channels != 0) {
    const float* samples = result.GetSamples(false, true);
    if (channels == outputChannels_) {
      std::copy(samples, samples + static_cast<size_t>(written) * channels, output);
    } else {
      const uint32_t shared = std::min(channels, outputChannels_);
      for (uint32_t f = 0; f < written; ++f) {
        float* to = output + static_cast<size_t>(f) * outputChannels_;
        std::copy(samples + static_cast<size_t>(f) * channels,
                  samples + static_cast<size_t>(f) * channels + shared, to);
        std::fill(to + shared, to + outputChannels_, 0.0f);
      }
    }
    result.ReleaseSamples();
  }
  return written;
}

void QORAPOProcessManager::FlushWithSilence() {
  if (flushing_) return;
  flushing_ = true;
  uint32_t frames = FlushFrames(sampleRate_, latency_);
  const uint32_t channels = std::max(inputChannels_, outputChannels_);
  // Sized by Initialize for this format and latency; never allocate on the real-time thread.
  frames = std::min<uint32_t>(frames, channels == 0 ? 0 : flushBuffer_.size() / channels);
  std::fill(flushBuffer_.begin(), flushBuffer_.end(), 0.0f);
  uint32_t inFrames = frames;
  uint32_t outFrames = frames;
  Process(flushBuffer_.data(), &inFrames, flushBuffer_.data(), &outFrames, false);
  flushing_ = false;
}

void QORAPOProcessManager::OnPipeData(bool receive, IQORAudioData<float>& data) {
  if (!sideChainConnected_) {
    // Nothing to receive reads as silence; what a chain sends is its own audio and stays as it is.
    if (receive) data.Clear();
    return;
  }
  if (!receive) {
    sideChainPipe_.Write(data);
    return;
  }
  if (!processingPending_) {
    sideChainPipe_.Read(data);
    pipeCache_.CopyFrom(data);
    return;
  }
  // The pending chain must not drain the pipe a second time in one period: it gets the block the
  // current chain just read.
  if (pipeCache_.GetFrameCount() == data.GetFrameCount() &&
      pipeCache_.GetSampleRate() == data.GetSampleRate()) {
    data.CopyFrom(pipeCache_);
  } else {
    data.Clear();
  }
}

void QORAPOProcessManager::OnModeSelectorChanged() {
  changeEvent_->Set();
}

void QORAPOProcessManager::OnPublicSettingChanged(QORAPOPublicSettings& /*source*/,
                                                  const QORUTSValue& control) {
  if (control.GetName() != QORAPOGlobalSettings::kProcessEnable) return;
  bypassFlag_.store(control.GetIndex() == 0 ? 1 : 0);
  changeEvent_->Set();
}

void QORAPOProcessManager::OnMutexFound(QORFindMutex& /*watcher*/, bool present) {
  capturePresent_.exchange(present ? 1 : 0);
  changeEvent_->Set();
}

bool QORAPOProcessManager::DoWork(QORThreadBasic& /*thread*/, IQOREvent& stopEvent) {
#ifndef NDEBUG
  workerThread_.store(std::this_thread::get_id());
#endif
  const HRESULT init = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
  // The worker builds and primes the standby chains: their processes run here too.
  QORDenormalGuard denormals;
  const bool stopped = RunWorker(stopEvent);
  if (init == S_OK || init == S_FALSE) CoUninitialize();
  workerPhase_.store(kWorkerStopped);
#ifndef NDEBUG
  workerThread_.store(std::thread::id());
#endif
  return stopped;
}

bool QORAPOProcessManager::RunWorker(IQOREvent& stopEvent) {
  int64_t lastRebuild = 0;
  int64_t frequency = 0;
  QORPerformanceCounter::Query(&lastRebuild);
  // Changes of the standby mode's public values wake the worker; tuned values are polled.
  QORAPOPublicSettingsReader reader;
  OpenReader(reader);
  bool poll = standby_.load()->tuningPoll;
  uint32_t timeout = poll ? kTuningPollMs : kQORInfinite;

  IQORWaitable* const changeWait[] = {&stopEvent, changeEvent_.get()};
  if (!WaitForSteady(stopEvent)) return true;
  for (;;) {
    // Look before blocking, so that the idle phase is only shown with no change pending.
    uint32_t woke = QORWaitForMultiple(changeWait, 0);
    if (woke == kQORWaitTimeout) {
      workerPhase_.store(kWorkerIdle);
      woke = QORWaitForMultiple(changeWait, timeout);
    }
    if (woke == kQORWaitObject0) return true;
    if (woke == kQORWaitTimeout && poll && standby_.load()->TuningChanged()) {
      woke = kQORWaitObject0 + 1;
    }
    if (woke == kQORWaitObject0 + 1) {
      workerPhase_.store(kWorkerRebuilding);
      int64_t now = 0;
      if (QORPerformanceCounter::Query(&now) && QORPerformanceCounter::Frequency(&frequency)) {
        const uint64_t since = ElapsedMs(lastRebuild, now, frequency);
        if (since < kRebuildSpacingMs) {
          const auto rest = static_cast<uint32_t>(kRebuildSpacingMs - since);
          if (QORWaitForSingle(stopEvent, rest) == kQORWaitObject0) return true;
        }
      }
      changeEvent_->Reset();
      ConfigureChain(*standby_.load());
      OpenReader(reader);
      if (!SwitchChains(kSwitchStateSwitching)) {
        // Only the worker starts a switch, after the last one ended: this is a broken contract.
        QORTrace({"QORAPOProcessManager", __LINE__, "QORAPOProcessManager::RunWorker"},
                 "ERROR: switch not started, state %u\n", switchState_.load());
        if (!WaitForSteady(stopEvent)) return true;
        continue;
      }
      ConfigureChain(*standby_.load());
      poll = standby_.load()->tuningPoll;
      if (poll) timeout = kTuningPollMs;
      rebuilds_.fetch_add(1);
      QORPerformanceCounter::Query(&lastRebuild);
    }
    if (!WaitForSteady(stopEvent)) return true;
  }
}

void QORAPOProcessManager::OpenReader(QORAPOPublicSettingsReader& reader) {
  // Without it, public changes of this mode wake nobody; other changes still do.
  if (!reader.Open(endpointInfo_, standby_.load()->GetAppliedMode(), changeEvent_.get())) {
    QORTrace({"QORAPOProcessManager", __LINE__, "QORAPOProcessManager::OpenReader"},
             "ERROR: public settings reader not open\n");
  }
}

bool QORAPOProcessManager::WaitForSteady(IQOREvent& stopEvent) {
  workerPhase_.store(kWorkerWaitingForSteady);
  // The real-time thread ends a switch with atomics only, so the worker looks for it.
  while (switchState_.load() != kSwitchStateSteady) {
    if (QORWaitForSingle(stopEvent, kSteadyPollMs) == kQORWaitObject0) return false;
  }
  // A stall cut into the switch: the settings may have moved meanwhile, so build afresh.
  if (rebuildAfterStall_.exchange(false)) changeEvent_->Set();
  return true;
}
