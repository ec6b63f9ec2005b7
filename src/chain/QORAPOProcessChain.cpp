#include "chain/QORAPOProcessChain.h"

#include <algorithm>

#include "audio/QORAudioChannelFold.h"
#include "audio/QORAudioProcessDownmix.h"
#include "audio/QORChannelBox.h"
#include "chain/QORAPOProcessWrapper.h"
#include "common/QORTrace.h"
#include "settings/ChainEntry.h"
#include "settings/ProcessEntry.h"
#include "settings/QORAPOChannelCode.h"

namespace {

constexpr size_t kReservedElements = 10;
constexpr int64_t kFlushMargin = 3000000;  // a stall flush runs 30 ms beyond the latency

// Copies the first min(channels) samples of every frame; the destination's other channels keep
// what they hold.
void CopyFrames(IQORAudioData<float>& from, IQORAudioData<float>& to, uint32_t frames) {
  float* source = from.GetSamples(false, true);
  float* destination = to.GetSamples(true, true);
  if (source != nullptr && destination != nullptr) {
    QORChannelBox<float> toBox(destination, to.GetChannelCount(), frames);
    toBox.CopyFrom(QORChannelBox<float>(source, from.GetChannelCount(), frames));
  }
  from.ReleaseSamples();
  to.ReleaseSamples();
}

}  // namespace

QORAPOProcessChain::QORAPOProcessChain() {
  elements_.reserve(kReservedElements);
}

QORAPOProcessChain::~QORAPOProcessChain() {
  Reset();
}

bool QORAPOProcessChain::Key::IsValid() const {
  return inputCode != 0 && inputCode != kInvalidCode && outputCode != 0 &&
         outputCode != kInvalidCode && sampleRate != 0;
}

uint32_t QORAPOProcessChain::ChannelsOfCode(uint32_t code) {
  switch (code) {
    case 1:
      return 1;
    case 2:
      return 2;
    case 4:
      return 6;
    case 8:
      return 8;
    case 16:
      return 12;
    default:
      return 0;
  }
}

int64_t QORAPOProcessChain::FramesOf(int64_t time, uint32_t rate) {
  if (rate == 0 || time <= 0) return 0;
  return (time * rate + kUnitsPerSecond / 2) / kUnitsPerSecond;
}

void QORAPOProcessChain::PreparePassThrough(const QORAPOEndpointInfo& endpoint,
                                            uint32_t outputChannels, uint32_t rate) {
  appliedEndpoint_ = endpoint;
  if (outputChannels != 0) passChannels_ = outputChannels;
  if (rate != 0) passRate_ = rate;
}

bool QORAPOProcessChain::SameAsBuilt(const Request& request) const {
  if (!builtKey_.IsValid()) return false;
  return request.endpoint.GetEndpointGuid() == builtRequest_.endpoint.GetEndpointGuid() &&
         request.mode.GetModeIdentity() == builtRequest_.mode.GetModeIdentity() &&
         request.outputCode == builtKey_.outputCode && request.inputCode == builtKey_.inputCode &&
         request.sampleRate == builtKey_.sampleRate;
}

bool QORAPOProcessChain::ConstructChain(const Request& request) {
  if (request.inputCode == 0 || request.inputCode == kInvalidCode || request.outputCode == 0 ||
      request.outputCode == kInvalidCode || request.sampleRate == 0) {
    constructed = false;
    return false;
  }
  PreparePassThrough(request.endpoint, ChannelsOfCode(request.outputCode), request.sampleRate);
  if (SameAsBuilt(request)) {
    processList_.SetMaxFrames(PeriodRoom());
    constructed = processList_.Init(channels, sampleRate);
    ReserveWork();
    // A tuning session may have begun since the build: join its block, as a new build would.
    if (!tuningPoll) tuningPoll = tunedSettings_.Open(appliedEndpoint_, appliedMode_, true);
    sentControls_.Clear();
    ApplyTuning();
    return true;
  }
  Reset();
  appliedEndpoint_ = request.endpoint;
  channels = std::max(ChannelsOfCode(request.inputCode), ChannelsOfCode(request.outputCode));
  sampleRate = request.sampleRate;
  internalRate = 0;

  ChainEntry entry;
  if (!request.mode.GetChainDefinition().FindChain(request.inputCode, request.outputCode, entry,
                                                   request.endpoint.IsRender())) {
    return false;
  }
  if (!BuildElements(request, entry) || channels == 0 || sampleRate == 0) {
    Reset();
    return false;
  }
  appliedMode_ = request.mode;
  chainControls_ = entry.controls;
  internalRate = GetProcessingRate(sampleRate);
  processList_.SetInternalRate(internalRate);
  processList_.SetMaxFrames(PeriodRoom());
  constructed = processList_.Init(channels, sampleRate);
  if (!constructed) {
    Reset();
    return false;
  }
  ReserveWork();
  tuningPoll = tunedSettings_.Open(appliedEndpoint_, appliedMode_, true);
  ApplyTuning();
  builtRequest_ = request;
  builtKey_ = Key{request.inputCode, request.outputCode, request.sampleRate};

  const uint32_t rate = sampleRate;
  const double seconds =
      rate == 0
          ? 0.0
          : static_cast<double>(static_cast<float>(int64_t{latency} * kUnitsPerSecond / rate)) /
                1e8;
  QORTrace({"QORAPOProcessChain", __LINE__, "QORAPOProcessChain::ConstructChain"},
           "QORAPOProcessChain::ConstructChain : 0x%p SUCCESS - latency = %f\n",
           static_cast<void*>(this), seconds);
  return true;
}

uint32_t QORAPOProcessChain::PeriodRoom() const {
  const int64_t flush = FramesOf(targetLatency + kFlushMargin, sampleRate);
  return static_cast<uint32_t>(
      std::min<int64_t>(std::max<int64_t>({maxPeriodFrames, sampleRate / 10, flush}), UINT32_MAX));
}

void QORAPOProcessChain::ReserveWork() {
  // The first period of a chain may be the first of a switch, on the real-time thread: the work
  // buffer and every block process get their storage here, for the longest period accepted.
  const uint32_t frames = PeriodRoom();
  workBuffer_.Reserve(frames, channels);
  const uint32_t internalFrames = processList_.GetMaxInternalFrames();
  for (const Element& element : elements_) {
    if (element.wrapper != nullptr) element.wrapper->ReservePeriod(internalFrames);
  }
}

bool QORAPOProcessChain::BuildElements(const Request& request, const ChainEntry& entry) {
  const bool render = request.endpoint.IsRender();
  for (const ProcessEntry& process : entry.processes) {
    Element element;
    if (process.techId == ProcessEntry::kDownmix || process.techId == ProcessEntry::kUpmix) {
      uint32_t modes[2] = {};
      const uint32_t count = QORAudioProcessDownmix::ModesFor(process.techId, request.inputCode,
                                                              request.outputCode, modes);
      for (uint32_t i = 0; i < count; ++i) {
        Element fold;
        auto downmix = std::make_unique<QORAudioProcessDownmix>(modes[i]);
        fold.controller = downmix.get();
        fold.process = downmix.get();
        fold.owner = std::move(downmix);
        processList_.AddProcess(fold.process);
        elements_.push_back(std::move(fold));
      }
      continue;
    }
    if (process.techId == ProcessEntry::kSidechainPipe && !render) continue;
    auto wrapper = std::make_unique<QORAPOProcessWrapper>();
    IQORAPOProcessWrapperHook* target =
        process.hook == ProcessEntry::kSidechainPipe ? this : nullptr;
    if (!wrapper->Create(process.techId, process.instanceId, process.hook, target)) return false;
    element.controller = wrapper.get();
    element.wrapper = wrapper.get();
    element.process = wrapper.get();
    element.owner = std::move(wrapper);
    processList_.AddProcess(element.process);
    elements_.push_back(std::move(element));
  }
  return true;
}

uint32_t QORAPOProcessChain::GetProcessingRate(uint32_t rate) const {
  static constexpr uint32_t kRender[] = {32000, 44100, 48000};
  static constexpr uint32_t kCapture[] = {16000};
  const bool render = appliedEndpoint_.IsRender();
  const uint32_t* begin = render ? kRender : kCapture;
  const uint32_t* end = render ? kRender + 3 : kCapture + 1;
  uint32_t kept = *begin;
  int64_t keptDistance = -1;
  for (const uint32_t* candidate = begin; candidate != end; ++candidate) {
    if (*candidate == rate) return 0;
    const int64_t distance = std::abs(int64_t{*candidate} - int64_t{rate});
    if (keptDistance < 0 || distance < keptDistance) {
      kept = *candidate;
      keptDistance = distance;
    }
  }
  return kept;
}

uint32_t QORAPOProcessChain::ApplyTuning() {
  if (!constructed) return 2;
  if (appliedMode_.GetModeIdentity() != tunedIdentity_ ||
      appliedEndpoint_.GetEndpointGuid() != tunedEndpointGuid_) {
    publicReader_.Open(appliedEndpoint_, appliedMode_, nullptr);
    tuningPoll = tunedSettings_.Open(appliedEndpoint_, appliedMode_, true);
    tunedIdentity_ = appliedMode_.GetModeIdentity();
    tunedEndpointGuid_ = appliedEndpoint_.GetEndpointGuid();
  }
  QORUTSValueList list = appliedMode_.GetControls();
  long tuningMode = 0;
  // A block that cannot be read gives no tuned values: what was read before must not stay in force.
  if (tuningPoll && tunedSettings_.ReadControls(tunedValues_, true)) {
    tuningMode = tunedSettings_.GetTuningMode();
  } else {
    tunedValues_.Clear();
  }
  QORUTSValueList publicValues;
  publicReader_.Read(publicValues);
  // Existing names only: a source never adds a control the mode does not have.
  switch (tuningMode) {
    case 0:
      list.Merge(publicValues, QORUTSValueList::kMergeReplace);
      break;
    case 1:
      list.Merge(tunedValues_, QORUTSValueList::kMergeReplace);
      list.Merge(publicValues, QORUTSValueList::kMergeReplace);
      break;
    case 2:
      list.Merge(publicValues, QORUTSValueList::kMergeReplace);
      list.Merge(tunedValues_, QORUTSValueList::kMergeReplace);
      break;
    default:
      break;
  }
  // The chain entry's controls override every other source.
  list.Merge(chainControls_, QORUTSValueList::kMergeReplace);
  list.Merge(chainControls_, QORUTSValueList::kMergeAdd);
  const bool sent = SetControls(list);
  UpdateLatency();
  return sent ? 1 : 0;
}

bool QORAPOProcessChain::SetControls(const QORUTSValueList& list) {
  QORUTSValueList toSend;
  for (const auto& [name, value] : list.Values()) {
    const QORUTSValue* sent = sentControls_.Find(name);
    if (sentControls_.Empty() || sent == nullptr || sent->GetValueText() != value.GetValueText()) {
      toSend.Set(value);
    }
  }
  if (toSend.Empty()) return false;
  for (const Element& element : elements_) {
    for (const auto& entry : toSend.Values()) element.controller->SetControl(entry.second);
  }
  sentControls_ = list;
  return true;
}

void QORAPOProcessChain::UpdateLatency() {
  // The delay sees the output layout when passing through, the chain's own when built.
  const bool passing = bypassed || !constructed;
  delay_.SetDelay(0);
  delay_.Init(passing ? passChannels_ : channels, passRate_);
  delay_.Clear();
  if (passing) {
    const uint32_t rate = sampleRate != 0 ? sampleRate : passRate_;
    latency = static_cast<uint32_t>(FramesOf(targetLatency, rate));
    delay_.SetDelay(latency);
    return;
  }
  const int64_t target = FramesOf(targetLatency, sampleRate);
  const int64_t own = processList_.GetLatency();
  if (target > own) {
    latency = static_cast<uint32_t>(target);
    delay_.SetDelay(static_cast<uint32_t>(target - own));
  } else {
    latency = static_cast<uint32_t>(own);
  }
}

bool QORAPOProcessChain::TuningChanged() {
  if (!tuningPoll) return false;
  QORUTSValueList fresh;
  // Unreadable, the block counts as empty, so that the chain stops applying what it read last.
  if (!tunedSettings_.ReadControls(fresh, true)) fresh.Clear();
  const bool changed = tunedValues_.ReplaceIfChanged(fresh);
  if (changed) {
    QORTrace({"QORAPOProcessChain", __LINE__, "QORAPOProcessChain::TuningChanged"},
             "QORAPOProcessChain::TuningChanged(0x%p)\n", static_cast<void*>(this));
  }
  return changed;
}

void QORAPOProcessChain::OnSideChain(QORAPOProcessWrapper& /*wrapper*/,
                                     IQORAudioData<float>& data) {
  if (pipeHook_ != nullptr) pipeHook_->OnPipeData(appliedEndpoint_.IsRender(), data);
}

void QORAPOProcessChain::Process(IQORAudioData<float>& input, IQORAudioData<float>& output,
                                 IQORAPOProcessChainPipeHook* hook) {
  pipeHook_ = hook;
  if (bypassed || !constructed) {
    PassThrough(input, output, hook);
    return;
  }
  if (input.GetChannelCount() == channels && output.GetChannelCount() == channels) {
    if (&input != &output) output.CopyFrom(input);
    delay_.Process(output);
    processList_.Process(output);
    return;
  }
  const uint32_t outChannels = output.GetChannelCount() != 0 ? output.GetChannelCount() : channels;
  IQORAudioData<float>& work =
      (&input != &output && outChannels == channels) ? output : workBuffer_;
  work.Init(input.GetFrameCount(), channels, output.GetSampleRate());
  CopyFrames(input, work, input.GetFrameCount());
  delay_.Process(work);
  processList_.Process(work);
  if (outChannels == channels) return;
  // The owner sizes the output; never write past the frames it holds.
  CopyFrames(work, output, std::min(work.GetFrameCount(), output.GetFrameCount()));
}

void QORAPOProcessChain::PassThrough(IQORAudioData<float>& input, IQORAudioData<float>& output,
                                     IQORAPOProcessChainPipeHook* hook) {
  if (&input != &output) {
    const uint32_t frames = input.GetFrameCount();
    const uint32_t from = input.GetChannelCount();
    const uint32_t to = output.GetChannelCount();
    output.Init(frames, to, output.GetSampleRate());
    if ((from == 6 && to == 2) || (from == 2 && to == 1) || (from == 1 && to == 2)) {
      const float* source = input.GetSamples(false, true);
      float* destination = output.GetSamples(true, true);
      if (source != nullptr && destination != nullptr) {
        if (from == 6) {
          QORAudioChannelFold::Fold6To2(source, destination, frames);
        } else if (from == 2) {
          QORAudioChannelFold::Fold2To1(source, destination, frames);
        } else {
          QORAudioChannelFold::Fold1To2(source, destination, frames);
        }
      }
      input.ReleaseSamples();
      output.ReleaseSamples();
    } else {
      CopyFrames(input, output, frames);
    }
  }
  delay_.Process(output);
  // A capture chain that does not process hands its output to the pipe.
  if (hook != nullptr && !appliedEndpoint_.IsRender()) hook->OnPipeData(false, output);
}

bool QORAPOProcessChain::PassThroughInterleaved(const float* input, float* output, uint32_t frames,
                                                uint32_t width, IQORAPOProcessChainPipeHook* hook) {
  if (!CanPassThroughInterleaved(width, hook)) return false;
  pipeHook_ = hook;
  delay_.ProcessInterleaved(input, output, frames);
  return true;
}

bool QORAPOProcessChain::CanPassThroughInterleaved(uint32_t width,
                                                   IQORAPOProcessChainPipeHook* hook) const {
  if (!(bypassed || !constructed) || width != delay_.GetChannels() || width == 0) return false;
  return hook == nullptr || appliedEndpoint_.IsRender();
}

void QORAPOProcessChain::TakeStateFrom(QORAPOProcessChain& giving) {
  if (&giving == this) return;
  for (const Element& element : elements_) {
    if (element.wrapper == nullptr || element.wrapper->GetProcess() == nullptr) continue;
    for (const Element& other : giving.elements_) {
      if (other.wrapper == nullptr || other.wrapper->GetProcess() == nullptr) continue;
      if (element.wrapper->TakeState(*other.wrapper)) break;
    }
  }
}

void QORAPOProcessChain::Reset() {
  processList_.ClearProcesses();
  elements_.clear();
  elements_.reserve(kReservedElements);
  tunedSettings_.Close();
  tuningPoll = false;
  chainControls_.Clear();
  sentControls_.Clear();
  tunedValues_.Clear();
  channels = 0;
  internalRate = 0;
  sampleRate = 0;
  constructed = false;
  builtKey_ = Key{};
}
