#include "audio/QORAudioProcessDelay.h"

#include <algorithm>

void QORAudioProcessDelay::Resize(uint32_t channels, uint32_t frames) {
  // Oldest first, keep the oldest frames of the channels that stay, pad with silence.
  std::vector<float> ring(static_cast<size_t>(channels) * frames, 0.0f);
  const uint32_t oldFrames = channels_ == 0 ? 0 : static_cast<uint32_t>(ring_.size() / channels_);
  const uint32_t kept = std::min(frames, oldFrames);
  const uint32_t shared = std::min(channels, channels_);
  for (uint32_t f = 0; f < kept; ++f) {
    const size_t from = ((next_ + f) % oldFrames) * channels_;
    std::copy_n(ring_.begin() + static_cast<std::ptrdiff_t>(from), shared,
                ring.begin() + static_cast<std::ptrdiff_t>(static_cast<size_t>(f) * channels));
  }
  ring_.swap(ring);
  channels_ = channels;
  next_ = 0;
}

bool QORAudioProcessDelay::Init(uint32_t channels, uint32_t) {
  if (channels != channels_ || ring_.size() != static_cast<size_t>(channels) * delay_) {
    Resize(channels, delay_);
  }
  return true;
}

void QORAudioProcessDelay::SetDelay(uint32_t frames) {
  delay_ = frames;
  Init(channels_, 0);
}

void QORAudioProcessDelay::Clear() {
  std::fill(ring_.begin(), ring_.end(), 0.0f);
}

void QORAudioProcessDelay::Process(IQORAudioData<float>& data) {
  if (delay_ == 0 || channels_ == 0) return;
  const uint32_t frames = data.GetFrameCount();
  const uint32_t channels = data.GetChannelCount();
  float* samples = data.GetSamples(true, true);
  if (samples == nullptr) return;
  if (channels == channels_) {
    ProcessInterleaved(samples, samples, frames);
  } else {
    const uint32_t shared = std::min(channels, channels_);
    for (uint32_t f = 0; f < frames; ++f) {
      float* frame = samples + static_cast<size_t>(f) * channels;
      float* line = ring_.data() + next_ * channels_;
      std::swap_ranges(frame, frame + shared, line);
      if (++next_ == delay_) next_ = 0;
    }
  }
  data.ReleaseSamples();
}

void QORAudioProcessDelay::ProcessInterleaved(const float* in, float* out, uint32_t frames) {
  const size_t channels = channels_;
  if (delay_ == 0 || channels == 0) {
    if (in != out) std::copy(in, in + static_cast<size_t>(frames) * channels, out);
    return;
  }
  if (in != out && frames >= delay_) {
    // The ring's frames come out first, oldest first, then the start of the period; the end of
    // the period stays in the ring. Every sample moves once or twice, never through a swap.
    const auto ring = ring_.begin();
    const size_t older = (delay_ - next_) * channels;
    std::copy(ring + static_cast<std::ptrdiff_t>(next_ * channels), ring_.end(), out);
    std::copy(ring, ring + static_cast<std::ptrdiff_t>(next_ * channels), out + older);
    const size_t held = static_cast<size_t>(delay_) * channels;
    const size_t passed = (frames - delay_) * channels;
    std::copy(in, in + passed, out + held);
    std::copy(in + passed, in + passed + held, ring);
    next_ = 0;
    return;
  }
  // Runs of whole frames up to the ring's end: frame f leaves delay frames later.
  size_t done = 0;
  while (done < frames) {
    const size_t run = std::min<size_t>(frames - done, delay_ - next_);
    float* line = ring_.data() + next_ * channels;
    const size_t count = run * channels;
    if (in == out) {
      std::swap_ranges(out + done * channels, out + done * channels + count, line);
    } else {
      std::copy(line, line + count, out + done * channels);
      std::copy(in + done * channels, in + done * channels + count, line);
    }
    done += run;
    next_ += run;
    if (next_ == delay_) next_ = 0;
  }
}
