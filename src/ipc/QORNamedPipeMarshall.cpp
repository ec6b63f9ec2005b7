#include "ipc/QORNamedPipeMarshall.h"

#include <algorithm>

#include "audio/QORAudioChannelFold.h"

namespace {

// Slack for the converted side of a period: the reader's extra samples at the largest rate ratio
// the pipe accepts, and the converter's spare frames.
constexpr uint32_t kConvertSlack = 2048;

// Gives a buffer storage for `samples` mono samples, which later Inits keep.
void Prime(QORAudioDataFloat& block, uint32_t samples) {
  block.Init(samples, 1, QORNamedPipeAudio::kMinRate);
  block.GetSamples(true, true);
  block.Init(0, 1, QORNamedPipeAudio::kMinRate);
}

}  // namespace

void QORNamedPipeMarshall::SetRunning(bool running) {
  if (running && reservedFrames_ < kMaxPeriodFrames) Reserve(kMaxPeriodFrames);
  running_ = running;
}

void QORNamedPipeMarshall::Reserve(uint32_t frames) {
  reservedFrames_ = frames;
  mono_.assign(frames, 0.0f);
  Prime(streamBlock_, std::max(QORNamedPipeAudio::kRingCapacity, 2 * frames) + kLeadSamples +
                          QORResampleHandler::kSpareFrames);
  Prime(periodBlock_, 2 * frames + kConvertSlack);
  fifo_.Reserve(4 * static_cast<size_t>(frames) + kConvertSlack);
}

void QORNamedPipeMarshall::PrepareConverter(uint32_t inputRate, uint32_t outputRate,
                                            uint32_t inputFrames) {
  if (inputRate == converterInput_ && outputRate == converterOutput_) return;
  converterInput_ = inputRate;
  converterOutput_ = outputRate;
  resampler_.Reserve(inputFrames, 1, inputRate, outputRate);
}

void QORNamedPipeMarshall::Init(uint32_t rate, bool reader) {
  pipe_.Init(rate, reader ? QORNamedPipeAudio::kRoleReader : QORNamedPipeAudio::kRoleWriter);
  reader_ = reader;
  overruns_ = 0;
  fifoDrops_ = 0;
  if (reader) {
    fifo_.Clear();
    fifo_.PushZeros(kLeadSamples);
  }
}

void QORNamedPipeMarshall::Write(IQORAudioData<float>& period) {
  if (!running_ || reader_) return;
  const uint32_t frames = period.GetFrameCount();
  const uint32_t channels = period.GetChannelCount();
  const uint32_t periodRate = period.GetSampleRate();
  const uint32_t streamRate = pipe_.GetRate();
  if (frames == 0 || channels == 0 || periodRate == 0 || streamRate == 0) return;
  if (frames > reservedFrames_) Reserve(frames);
  const float* samples = period.GetSamples(false, true);
  if (samples == nullptr) return;
  // The stereo fold of the first two channels, into a buffer of our own: the period goes on
  // through its chain unchanged.
  for (uint32_t f = 0; f < frames; ++f) {
    const float* frame = samples + static_cast<size_t>(f) * channels;
    mono_[f] = channels >= 2 ? QORAudioChannelFold::Mono(frame[0], frame[1]) : frame[0];
  }
  period.ReleaseSamples();
  if (periodRate == streamRate) {
    pipe_.WriteRing(mono_.data(), frames);
    return;
  }
  PrepareConverter(periodRate, streamRate, reservedFrames_);
  periodBlock_.Assign(mono_.data(), frames, 1, true, periodRate);
  streamBlock_.Init(0, 1, streamRate);
  if (!resampler_.Convert(periodBlock_, streamBlock_)) return;
  const float* converted = streamBlock_.GetSamples(false, true);
  if (converted != nullptr) pipe_.WriteRing(converted, streamBlock_.GetFrameCount());
}

uint32_t QORNamedPipeMarshall::Read(IQORAudioData<float>& period) {
  if (!running_ || !reader_) return 0;
  const uint32_t frames = period.GetFrameCount();
  const uint32_t periodRate = period.GetSampleRate();
  const uint32_t streamRate = pipe_.GetRate();
  float* channel = period.GetSamples(true, false);
  if (channel == nullptr) return 0;
  uint32_t result = 0;
  if (streamRate == 0 || periodRate == 0) {
    // No stream yet: the side chain is silent, not whatever the period carried.
    std::fill(channel, channel + frames, 0.0f);
  } else if (streamRate == periodRate) {
    result = pipe_.ReadRing(channel, frames);
    if (result < frames) {
      std::fill(channel + result, channel + frames, 0.0f);
      ++overruns_;
    }
  } else {
    ReadConverted(channel, frames, periodRate, streamRate, &result);
  }
  period.ReleaseSamples();
  period.SetChannelMapEntry(0, kQORChannelRoleSideChain);
  return result;
}

void QORNamedPipeMarshall::ReadConverted(float* channel, uint32_t frames, uint32_t periodRate,
                                         uint32_t streamRate, uint32_t* result) {
  if (frames > reservedFrames_) Reserve(frames);
  const uint64_t need = static_cast<uint64_t>(frames) * streamRate / periodRate;
  const uint32_t want = static_cast<uint32_t>(
      std::min<uint64_t>(need + kLeadSamples, QORNamedPipeAudio::kRingCapacity));
  PrepareConverter(streamRate, periodRate, QORNamedPipeAudio::kRingCapacity);
  streamBlock_.Init(want, 1, streamRate);
  float* received = streamBlock_.GetSamples(true, true);
  const uint32_t got = received == nullptr ? 0 : pipe_.ReadRing(received, want);
  streamBlock_.ReleaseSamples();
  streamBlock_.SetFrameCount(got);
  if (got != 0) {
    periodBlock_.Init(0, 1, periodRate);
    if (resampler_.Convert(streamBlock_, periodBlock_)) {
      const float* converted = periodBlock_.GetSamples(false, true);
      if (converted != nullptr) fifo_.Push(converted, periodBlock_.GetFrameCount());
    }
  }
  // More than a period ahead of this one: the stream arrives faster than it is played (a faster
  // writer clock, or a backlog). Drop the oldest at once rather than let the delay grow forever.
  const size_t limit = 2 * static_cast<size_t>(frames) + kLeadSamples;
  if (fifo_.GetSize() > limit) {
    fifoDrops_ += static_cast<uint32_t>(fifo_.Discard(fifo_.GetSize() - frames - kLeadSamples));
  }
  const size_t available = fifo_.GetSize();
  *result = static_cast<uint32_t>(available);
  if (available < frames) {
    // The missing part is silence in front of what the FIFO still has.
    ++overruns_;
    const size_t missing = frames - available;
    std::fill(channel, channel + missing, 0.0f);
    fifo_.Pop(channel + missing, available);
  } else {
    fifo_.Pop(channel, frames);
  }
}
