#include "audio/QORAudioProcessResampleChain.h"

#include <algorithm>
#include <cmath>

namespace {

constexpr uint32_t kReservedPeriodDivisor = 10;  // 100 ms
constexpr double kReferenceTimeUnits = 10000000.0;

}  // namespace

void QORAudioProcessResampleChain::Prepare(QORAudioDataFloat& buffer, uint32_t frames,
                                           uint32_t channels, uint32_t rate) {
  // Touch both forms at the largest expected size: Init keeps the storage, so later periods
  // refill it without allocating whichever form a process asks for.
  buffer.Init(frames, channels, rate);
  buffer.GetSamples(false, true);
  buffer.GetSamples(false, false);
  buffer.Init(0, channels, rate);
}

bool QORAudioProcessResampleChain::Init(uint32_t channels, uint32_t rate) {
  const uint32_t r = internalRate_ != 0 ? internalRate_ : rate;
  bool ok = true;
  if (internalRate_ != 0 && internalRate_ != rate) {
    const bool downOk = down_.Setup(rate, r, channels);
    const bool upOk = up_.Setup(r, rate, channels);
    ok = downOk && upOk;
  }
  rate_ = rate;
  channels_ = channels;
  underflows_ = 0;
  channelMap_.assign(channels, kQORChannelRoleNone);
  if (internalRate_ != 0 && rate != 0 && channels != 0) {
    const uint32_t frames = std::max({rate / kReservedPeriodDivisor, maxFrames_, 1u});
    const uint32_t internalFrames =
        QORResampleHandler::ExpectedFrames(frames, rate, r) + QORResampleHandler::kSpareFrames;
    down_.Reserve(frames, channels, rate, r);
    up_.Reserve(internalFrames, channels, r, rate);
    Prepare(internal_, internalFrames, channels, r);
    Prepare(converted_, frames + 2 * QORResampleHandler::kSpareFrames, channels, rate);
    fifo_.Reserve(static_cast<size_t>(2 * frames + 4 * kLeadFrames) * channels);
  }
  // Samples left from an earlier format would come out late or in the wrong channels.
  fifo_.Clear();
  fifo_.PushZeros(static_cast<size_t>(kLeadFrames) * channels);
  const bool processesOk = QORAudioProcessChain<float>::Init(channels, r);
  return ok && processesOk;
}

uint32_t QORAudioProcessResampleChain::GetMaxInternalFrames() const {
  const uint32_t frames = std::max({rate_ / kReservedPeriodDivisor, maxFrames_, 1u});
  if (internalRate_ == 0 || internalRate_ == rate_) return frames;
  return QORResampleHandler::ExpectedFrames(frames, rate_, internalRate_) +
         QORResampleHandler::kSpareFrames;
}

uint32_t QORAudioProcessResampleChain::GetLatency() const {
  const uint32_t processes = QORAudioProcessChain<float>::GetLatency();
  if (internalRate_ == 0) return processes;
  if (rate_ == 0) return processes + kLeadFrames;
  // The processes count frames at the internal rate.
  double frames = static_cast<double>(processes) * rate_ / internalRate_;
  if (internalRate_ != rate_) {
    frames += static_cast<double>(down_.GetDelay() + up_.GetDelay()) * rate_ / kReferenceTimeUnits;
  }
  return kLeadFrames + static_cast<uint32_t>(std::lround(frames));
}

uint32_t QORAudioProcessResampleChain::GetQueuedFrames() const {
  return channels_ == 0 ? 0 : static_cast<uint32_t>(fifo_.GetSize() / channels_);
}

void QORAudioProcessResampleChain::Process(IQORAudioData<float>& data) {
  if (IsBypassed()) return;
  if (internalRate_ == 0) {
    QORAudioProcessChain<float>::Process(data);
    return;
  }
  const uint32_t frames = data.GetFrameCount();
  const uint32_t channels = data.GetChannelCount();
  const uint32_t rate = data.GetSampleRate();
  // A period of another format than Init's would scramble the FIFO's channels: it passes as is.
  if (channels != channels_ || rate != rate_) return;
  internal_.Init(0, channels, internalRate_);
  if (!down_.Convert(data, internal_)) return;
  QORAudioProcessChain<float>::Process(internal_);
  converted_.Init(0, channels, rate);
  IQORAudioData<float>& back = up_.Convert(internal_, converted_) ? converted_ : data;

  const float* result = back.GetSamples(false, true);
  if (result != nullptr) {
    fifo_.Push(result, static_cast<size_t>(back.GetFrameCount()) * back.GetChannelCount());
  }
  back.ReleaseSamples();

  // Init resets the channel roles; the period keeps its own (the side-chain mark among them).
  const uint32_t kept = std::min<uint32_t>(channels, static_cast<uint32_t>(channelMap_.size()));
  for (uint32_t i = 0; i < kept; ++i) channelMap_[i] = data.GetChannelMapEntry(i);
  data.Init(frames, channels, rate);
  for (uint32_t i = 0; i < kept; ++i) data.SetChannelMapEntry(i, channelMap_[i]);

  float* out = data.GetSamples(true, true);
  if (out != nullptr) {
    const size_t wanted = static_cast<size_t>(frames) * channels;
    const size_t taken = fifo_.Pop(out, wanted);
    if (taken < wanted) {
      std::fill(out + taken, out + wanted, 0.0f);
      ++underflows_;
    }
  }
  data.ReleaseSamples();
}
