#include "QORTechLimiter.h"

#include <algorithm>
#include <cmath>

void QORTechLimiter::Init(uint32_t channels, uint32_t rate, float lookAheadSeconds) {
  channels_ = channels;
  rate_ = rate;
  lookAhead_ = std::max<uint32_t>(1, static_cast<uint32_t>(std::lround(lookAheadSeconds * rate)));
  window_ = lookAhead_ + 1;
  delay_.assign(static_cast<size_t>(window_) * channels_, 0.0f);
  minimum_.assign(window_, 1.0f);
  dequeIndex_.assign(window_, 0);
  dequeValue_.assign(window_, 1.0f);
  Reset();
}

void QORTechLimiter::SetReleaseSeconds(float seconds) {
  if (seconds == releaseSeconds_) return;
  releaseSeconds_ = seconds;
  release_ = 1.0f - std::exp(-1.0f / (std::max(seconds, 0.001f) * static_cast<float>(rate_)));
}

void QORTechLimiter::Reset() {
  std::fill(delay_.begin(), delay_.end(), 0.0f);
  std::fill(minimum_.begin(), minimum_.end(), 1.0f);
  gain_ = 1.0f;
  position_ = 0;
  boxSum_ = window_;
  dequeHead_ = 0;
  dequeSize_ = 0;
  replay_ = false;
}

void QORTechLimiter::Process(float* const* channels, uint32_t frames) {
  if (replay_) {
    Replay();
    replay_ = false;
  }
  const bool bypass = !on_ && gain_ == 1.0f;
  switch (channels_) {
    case 1:
      bypass ? Delay<1>(channels, frames) : Run<1>(channels, frames);
      break;
    case 2:
      bypass ? Delay<2>(channels, frames) : Run<2>(channels, frames);
      break;
    default:
      bypass ? Delay<0>(channels, frames) : Run<0>(channels, frames);
      break;
  }
  // Released as far as float resolution lets the gain move: the rest would never arrive, and
  // unity lets the delay alone run.
  if (!on_ && gain_ < 1.0f && static_cast<float>(boxSum_ / window_) >= 1.0f &&
      gain_ + (1.0f - gain_) * release_ == gain_) {
    gain_ = 1.0f;
  }
}

template <uint32_t kChannels>
void QORTechLimiter::Delay(float* const* channels, uint32_t frames) {
  const uint32_t count = kChannels != 0 ? kChannels : channels_;
  const uint32_t window = window_;
  float* const delay = delay_.data();
  uint32_t slot = static_cast<uint32_t>(position_ % window);
  for (uint32_t i = 0; i < frames; ++i) {
    float* frame = delay + static_cast<size_t>(slot) * count;
    for (uint32_t c = 0; c < count; ++c) frame[c] = channels[c][i];
    slot = slot + 1 == window ? 0 : slot + 1;
    const float* delayed = delay + static_cast<size_t>(slot) * count;
    for (uint32_t c = 0; c < count; ++c) channels[c][i] = delayed[c];
  }
  position_ += frames;
}

void QORTechLimiter::Replay() {
  const uint32_t window = window_;
  std::fill(minimum_.begin(), minimum_.end(), 1.0f);
  boxSum_ = window;
  dequeHead_ = 0;
  dequeSize_ = 0;
  const auto wrap = [window](uint32_t i) { return i >= window ? i - window : i; };
  // The frames still to leave: the last window - 1 written, oldest first.
  const uint64_t first = position_ >= window - 1 ? position_ - (window - 1) : 0;
  for (uint64_t n = first; n < position_; ++n) {
    const uint32_t slot = static_cast<uint32_t>(n % window);
    const float* frame = delay_.data() + static_cast<size_t>(slot) * channels_;
    float peak = 0.0f;
    for (uint32_t c = 0; c < channels_; ++c) peak = std::max(peak, std::fabs(frame[c]));
    const float required = peak > ceiling_ ? ceiling_ / peak : 1.0f;
    while (dequeSize_ > 0 && dequeValue_[wrap(dequeHead_ + dequeSize_ - 1)] >= required) {
      --dequeSize_;
    }
    const uint32_t tail = wrap(dequeHead_ + dequeSize_);
    dequeIndex_[tail] = n;
    dequeValue_[tail] = required;
    ++dequeSize_;
    const float minimum = dequeValue_[dequeHead_];
    boxSum_ += static_cast<double>(minimum) - minimum_[slot];
    minimum_[slot] = minimum;
  }
}

template <uint32_t kChannels>
void QORTechLimiter::Run(float* const* channels, uint32_t frames) {
  // The running state lives in locals for the call: the output stores could otherwise alias every
  // member and force it back to memory each sample.
  const uint32_t count = kChannels != 0 ? kChannels : channels_;
  const uint32_t window = window_;
  const float ceiling = ceiling_;
  const float release = release_;
  float* const delay = delay_.data();
  float* const minima = minimum_.data();
  uint64_t* const dequeIndex = dequeIndex_.data();
  float* const dequeValue = dequeValue_.data();
  uint32_t head = dequeHead_;
  uint32_t size = dequeSize_;
  uint64_t position = position_;
  double boxSum = boxSum_;
  float gain = gain_;
  // Ring positions advance by wrapping instead of a division per sample.
  const auto wrap = [window](uint32_t i) { return i >= window ? i - window : i; };
  uint32_t slot = static_cast<uint32_t>(position % window);
  for (uint32_t i = 0; i < frames; ++i) {
    const uint64_t n = position++;
    float peak = 0.0f;
    float* frame = delay + static_cast<size_t>(slot) * count;
    for (uint32_t c = 0; c < count; ++c) {
      const float x = channels[c][i];
      frame[c] = x;
      peak = std::max(peak, std::fabs(x));
    }
    const float required = peak > ceiling ? ceiling / peak : 1.0f;

    // Sliding minimum of the required gains over the window ending at n. The oldest entry leaves
    // before the new one comes in: a full window of rising gains would otherwise overwrite the
    // entry at the head and report the newest gain as the minimum.
    if (size > 0 && dequeIndex[head] + window <= n) {
      head = wrap(head + 1);
      --size;
    }
    while (size > 0 && dequeValue[wrap(head + size - 1)] >= required) --size;
    const uint32_t tail = wrap(head + size);
    dequeIndex[tail] = n;
    dequeValue[tail] = required;
    ++size;
    const float minimum = dequeValue[head];

    // Averaging the minima over the window gives a smooth attack that still never exceeds the
    // limit of the sample leaving the delay: each of those minima covers that sample.
    boxSum += static_cast<double>(minimum) - minima[slot];
    minima[slot] = minimum;
    const float target = std::min(1.0f, static_cast<float>(boxSum / window));
    gain = target < gain ? target : gain + (target - gain) * release;

    slot = wrap(slot + 1);
    const float* delayed = delay + static_cast<size_t>(slot) * count;
    for (uint32_t c = 0; c < count; ++c) {
      float y = delayed[c] * gain;
      if (y > ceiling) {
        y = ceiling;
      } else if (y < -ceiling) {
        y = -ceiling;
      }
      channels[c][i] = y;
    }
  }
  dequeHead_ = head;
  dequeSize_ = size;
  position_ = position;
  boxSum_ = boxSum;
  gain_ = gain;
}

void QORTechLimiter::TakeState(const QORTechLimiter& other) {
  if (other.window_ != window_ || other.channels_ != channels_) return;
  std::copy(other.delay_.begin(), other.delay_.end(), delay_.begin());
  std::copy(other.minimum_.begin(), other.minimum_.end(), minimum_.begin());
  std::copy(other.dequeIndex_.begin(), other.dequeIndex_.end(), dequeIndex_.begin());
  std::copy(other.dequeValue_.begin(), other.dequeValue_.end(), dequeValue_.begin());
  dequeHead_ = other.dequeHead_;
  dequeSize_ = other.dequeSize_;
  on_ = other.on_;
  replay_ = other.replay_;
  hundredths_ = other.hundredths_;
  ceiling_ = other.ceiling_;
  position_ = other.position_;
  boxSum_ = other.boxSum_;
  gain_ = other.gain_;
}
