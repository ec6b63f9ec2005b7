#include "chain/QORAPOProcessWrapper.h"

#include <algorithm>
#include <bit>
#include <cstring>

namespace {

// Side-chain calls of a process without a block size come per period; room for 100 ms avoids
// growing the buffer on the real-time thread for any usual period.
constexpr uint32_t kSideChainReserveDivisor = 10;

}  // namespace

QORAPOProcessWrapper::QORAPOProcessWrapper() : callback_{&OnSideChainCall, this} {}

QORAPOProcessWrapper::~QORAPOProcessWrapper() {
  library_.DestroyProcess();
  process_ = nullptr;
}

bool QORAPOProcessWrapper::Create(const std::string& techId, const std::string& instanceId,
                                  const std::string& hook, IQORAPOProcessWrapperHook* hookTarget) {
  instanceId_.clear();
  techId_.clear();
  library_.DestroyProcess();
  process_ = nullptr;
  sendHook_ = nullptr;
  receiveHook_ = nullptr;
  channels_ = 0;
  sampleRate_ = 0;
  initialised_ = false;

  if (!library_.CreateProcess(techId) || library_.GetProcess() == nullptr) return false;
  process_ = library_.GetProcess();
  instanceId_ = instanceId;
  techId_ = techId;

  if (hookTarget == nullptr || hook != kSideChainHook) return true;
  if (techId == kReceivingTechId) {
    receiveHook_ = hookTarget;
  } else if (techId == kSendingTechId) {
    sendHook_ = hookTarget;
  }
  return true;
}

uint32_t QORAPOProcessWrapper::GetTotalLatency() const {
  return QORAudioProcessBlock::GetLatency() +
         (initialised_ && process_ != nullptr ? process_->GetLatency() : 0);
}

bool QORAPOProcessWrapper::Init(uint32_t channels, uint32_t sampleRate) {
  channels_ = 0;
  sampleRate_ = 0;
  initialised_ = false;
  PrepareBlocks(0, channels);
  if (process_ == nullptr || !process_->Init(channels, sampleRate)) return false;

  sampleRate_ = sampleRate;
  channels_ = channels;
  const uint32_t blockSize = process_->GetBlockSize();
  PrepareBlocks(blockSize, channels);
  records_.assign(channels, TechChannel{});
  if (sendHook_ != nullptr || receiveHook_ != nullptr) {
    // Both sample forms, since a hook may ask for either.
    sideChain_.Init(std::max(blockSize, sampleRate / kSideChainReserveDivisor), 1, sampleRate);
    sideChain_.GetSamples(false, true);
    sideChain_.GetSamples(false, false);
  }
  initialised_ = true;
  return true;
}

void QORAPOProcessWrapper::EnableBypass(bool bypass) {
  bypass_.exchange(bypass ? 1 : 0);
}

bool QORAPOProcessWrapper::IsBypassed() const {
  return bypass_.load() != 0;
}

void QORAPOProcessWrapper::ReservePeriod(uint32_t frames) {
  QORAudioProcessBlock::ReservePeriod(frames);
  if (sendHook_ != nullptr || receiveHook_ != nullptr) sideChain_.Reserve(frames, 1);
}

void QORAPOProcessWrapper::ProcessBlock(IQORAudioData<float>& block) {
  if (!initialised_ || process_ == nullptr) return;
  const uint32_t frames = block.GetFrameCount();
  const uint32_t channels = block.GetChannelCount();
  float* samples = block.GetSamples(true, false);
  if (samples == nullptr || frames == 0 || channels == 0) return;
  // Grows only for a channel count Init was not told about.
  if (records_.size() < channels) records_.resize(channels);
  for (uint32_t i = 0; i < channels; ++i) {
    records_[i] =
        TechChannel{samples + static_cast<size_t>(i) * frames, block.GetChannelMapEntry(i), 0,
                    i + 1 < channels ? &records_[i + 1] : nullptr};
  }
  const bool hooked = sendHook_ != nullptr || receiveHook_ != nullptr;
  process_->Process(records_.data(), records_.data(), frames, hooked ? &callback_ : nullptr);
  block.ReleaseSamples();
}

void QORAPOProcessWrapper::OnSideChainCall(TechChannel* channel, uint32_t frames, void* context) {
  if (channel == nullptr || channel->samples == nullptr || frames == 0 || context == nullptr) {
    return;
  }
  static_cast<QORAPOProcessWrapper*>(context)->OnSideChain(*channel, frames);
}

void QORAPOProcessWrapper::OnSideChain(TechChannel& channel, uint32_t frames) {
  if (sendHook_ == nullptr && receiveHook_ == nullptr) return;
  if (channel.next != nullptr || channel.role != kTechSideChainRole) return;

  sideChain_.Init(frames, 1, sampleRate_);
  sideChain_.SetChannelMapEntry(0, kQORChannelRoleSideChain);
  if (sendHook_ != nullptr) {
    std::memcpy(sideChain_.GetSamples(true, false), channel.samples, frames * sizeof(float));
    sideChain_.ReleaseSamples();
    sendHook_->OnSideChain(*this, sideChain_);
  }
  if (receiveHook_ != nullptr) {
    receiveHook_->OnSideChain(*this, sideChain_);
    // The hook may have reshaped the buffer: copy no more than it holds.
    const float* received = sideChain_.GetSamples(true, false);
    const uint32_t available = sideChain_.GetChannelCount() != 0 ? sideChain_.GetFrameCount() : 0;
    if (received != nullptr) {
      std::memcpy(channel.samples, received, std::min(frames, available) * sizeof(float));
    }
    sideChain_.ReleaseSamples();
  }
}

bool QORAPOProcessWrapper::AcceptsPrefix(const std::string& prefix, bool withAlias) const {
  if (prefix.empty() || prefix == instanceId_) return true;
  if (!withAlias) return false;
  // A position's prefix ("MFX:") names every instance of that position ("MFX_Main").
  if (instanceId_.size() > prefix.size() && instanceId_.compare(0, prefix.size(), prefix) == 0 &&
      instanceId_[prefix.size()] == '_') {
    return true;
  }
  if (instanceId_.find("OSFX") != std::string::npos) return prefix.find("SFX") != std::string::npos;
  if (instanceId_.find("OMFX") != std::string::npos) return prefix.find("MFX") != std::string::npos;
  return false;
}

bool QORAPOProcessWrapper::SetControl(const QORUTSValue& value) {
  if (process_ == nullptr || !AcceptsPrefix(value.GetPrefix(), true)) return false;
  const std::string control = value.GetShortName();
  const int32_t index = value.GetIndex();
  if (index == -1) return process_->SetControlString(control.c_str(), value.GetValueText().c_str());
  return process_->SetControlInt(control.c_str(), index);
}

bool QORAPOProcessWrapper::GetControl(QORUTSValue& value) {
  if (process_ == nullptr || !AcceptsPrefix(value.GetPrefix(), false)) return false;
  const std::string control = value.GetShortName();
  int32_t number = 0;
  if (process_->GetControlInt(control.c_str(), &number)) {
    value.SetValue(static_cast<long>(number));
    return true;
  }
  const char* text = nullptr;
  if (process_->GetControlString(control.c_str(), &text)) {
    value.SetValueText(text != nullptr ? text : "");
    return true;
  }
  return false;
}

int32_t QORAPOProcessWrapper::GetControlInfo(std::vector<QORUTSControlInfo>& list) {
  const TechControlDesc* descs = nullptr;
  const int32_t count = process_ != nullptr ? process_->GetControlInfo(&descs) : 0;
  // A negative count, or a count without records, describes no controls.
  if (count < 1 || descs == nullptr) {
    list.clear();
    return 0;
  }
  list.resize(static_cast<size_t>(count));
  for (int32_t i = 0; i < count; ++i) {
    const TechControlDesc& desc = descs[i];
    list[static_cast<size_t>(i)].SetFromDescScaled(desc.name, std::bit_cast<uint32_t>(desc.minimum),
                                                   std::bit_cast<uint32_t>(desc.maximum), desc.type,
                                                   desc.valueNames, desc.valueNameCount);
  }
  return count;
}

bool QORAPOProcessWrapper::TakeState(QORAPOProcessWrapper& giving) {
  if (process_ == nullptr || giving.process_ == nullptr || &giving == this) return false;
  return process_->TakeState(giving.process_);
}
