#include "audio/QORAudioProcessDelay.h"

#include <algorithm>

namespace {

// The rate is not used; SetDelay passes a common one.
constexpr uint32_t kAnyRate = 44100;

}  // namespace

void QORAudioProcessDelay::Resize(Line& line, uint32_t length) {
  // Oldest first, then keep the oldest length samples and pad the newest end with silence.
  std::rotate(line.samples.begin(), line.samples.begin() + static_cast<std::ptrdiff_t>(line.next),
              line.samples.end());
  line.samples.resize(length, 0.0f);
  line.next = 0;
}

bool QORAudioProcessDelay::Init(uint32_t channels, uint32_t) {
  if (lines_.size() != channels) lines_.resize(channels);
  if (delay_ == 0) return true;
  for (Line& line : lines_) Resize(line, delay_);
  return true;
}

void QORAudioProcessDelay::SetDelay(uint32_t frames) {
  delay_ = frames;
  Init(static_cast<uint32_t>(lines_.size()), kAnyRate);
}

void QORAudioProcessDelay::Clear() {
  for (Line& line : lines_) std::fill(line.samples.begin(), line.samples.end(), 0.0f);
}

void QORAudioProcessDelay::Process(IQORAudioData<float>& data) {
  if (delay_ == 0) return;
  const uint32_t frames = data.GetFrameCount();
  const uint32_t channels = std::min(static_cast<uint32_t>(lines_.size()), data.GetChannelCount());
  float* planar = data.GetSamples(true, false);
  if (planar == nullptr) return;
  for (uint32_t c = 0; c < channels; ++c) {
    Line& line = lines_[c];
    float* samples = planar + static_cast<size_t>(c) * frames;
    size_t next = line.next;
    for (uint32_t f = 0; f < frames; ++f) {
      std::swap(samples[f], line.samples[next]);
      if (++next == delay_) next = 0;
    }
    line.next = next;
  }
  data.ReleaseSamples();
}
