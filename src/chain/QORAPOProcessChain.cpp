#include "chain/QORAPOProcessChain.h"

#include <algorithm>

#include "audio/QORChannelBox.h"

namespace {

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

void QORAPOProcessChain::Process(IQORAudioData<float>& input, IQORAudioData<float>& output,
                                 IQORAPOProcessChainPipeHook* hook) {
  pipeHook_ = hook;
  if (bypassed || !constructed) {
    PassThrough(input, output, hook);
    return;
  }
  if (input.GetChannelCount() == channels && output.GetChannelCount() == channels) {
    if (&input != &output) output.CopyFrom(input);
    processList_.Process(output);
    return;
  }
  const uint32_t outChannels = output.GetChannelCount() != 0 ? output.GetChannelCount() : channels;
  IQORAudioData<float>& work =
      (&input != &output && outChannels == channels) ? output : workBuffer_;
  const uint32_t rate = output.GetSampleRate();
  work.Init(input.GetFrameCount(), channels, rate);
  CopyFrames(input, work, input.GetFrameCount());
  processList_.Process(work);
  if (outChannels == channels) return;
  // The owner sizes the output; never write past the frames it holds.
  CopyFrames(work, output, std::min(work.GetFrameCount(), output.GetFrameCount()));
}

void QORAPOProcessChain::PassThrough(IQORAudioData<float>& input, IQORAudioData<float>& output,
                                     IQORAPOProcessChainPipeHook* hook) {
  if (&input != &output) {
    output.Init(input.GetFrameCount(), output.GetChannelCount(), output.GetSampleRate());
    CopyFrames(input, output, input.GetFrameCount());
  }
  if (hook != nullptr && !appliedEndpoint_.IsRender()) hook->OnPipeData(false, output);
}

void QORAPOProcessChain::TakeStateFrom(QORAPOProcessChain& /*giving*/) {
  // Only technology processes carry state across a switch; a chain without them has none.
}

void QORAPOProcessChain::Reset() {
  processList_.ClearProcesses();
  constructed = false;
  tuningPoll = false;
  channels = 0;
  internalRate = 0;
  sampleRate = 0;
}

void QORAPOProcessChain::UpdateLatency() {
  if (bypassed) {
    latency = static_cast<uint32_t>(targetLatency * sampleRate / 100000000);
    return;
  }
  const int64_t rate = internalRate != 0 ? internalRate : sampleRate;
  const int64_t target = targetLatency * rate / 100000000;
  const int64_t own = processList_.GetLatency();
  latency = static_cast<uint32_t>(std::max(target, own));
}
