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
}

float QORTechLimiter::Required(float peak) const {
  return peak > ceiling_ ? ceiling_ / peak : 1.0f;
}

void QORTechLimiter::Process(float* const* channels, uint32_t frames) {
  const float ceiling = ceiling_;
  // Ring positions advance by wrapping instead of a division per sample.
  const auto wrap = [window = window_](uint32_t i) { return i >= window ? i - window : i; };
  uint32_t slot = static_cast<uint32_t>(position_ % window_);
  for (uint32_t i = 0; i < frames; ++i) {
    const uint64_t n = position_++;
    float peak = 0.0f;
    float* frame = &delay_[static_cast<size_t>(slot) * channels_];
    for (uint32_t c = 0; c < channels_; ++c) {
      frame[c] = channels[c][i];
      peak = std::max(peak, std::fabs(frame[c]));
    }
    const float required = Required(peak);

    // Sliding minimum of the required gains over the window ending at n. The oldest entry leaves
    // before the new one comes in: a full window of rising gains would otherwise overwrite the
    // entry at the head and report the newest gain as the minimum.
    if (dequeSize_ > 0 && dequeIndex_[dequeHead_] + window_ <= n) {
      dequeHead_ = wrap(dequeHead_ + 1);
      --dequeSize_;
    }
    while (dequeSize_ > 0) {
      const uint32_t back = wrap(dequeHead_ + dequeSize_ - 1);
      if (dequeValue_[back] < required) break;
      --dequeSize_;
    }
    const uint32_t tail = wrap(dequeHead_ + dequeSize_);
    dequeIndex_[tail] = n;
    dequeValue_[tail] = required;
    ++dequeSize_;
    const float minimum = dequeValue_[dequeHead_];

    // Averaging the minima over the window gives a smooth attack that still never exceeds the
    // limit of the sample leaving the delay: each of those minima covers that sample.
    boxSum_ += static_cast<double>(minimum) - minimum_[slot];
    minimum_[slot] = minimum;
    const float target = std::min(1.0f, static_cast<float>(boxSum_ / window_));
    gain_ = target < gain_ ? target : gain_ + (target - gain_) * release_;

    slot = wrap(slot + 1);
    const float* delayed = &delay_[static_cast<size_t>(slot) * channels_];
    for (uint32_t c = 0; c < channels_; ++c) {
      float y = delayed[c] * gain_;
      if (y > ceiling) {
        y = ceiling;
      } else if (y < -ceiling) {
        y = -ceiling;
      }
      channels[c][i] = y;
    }
  }
}

void QORTechLimiter::TakeState(const QORTechLimiter& other) {
  if (other.window_ != window_ || other.channels_ != channels_) return;
  std::copy(other.delay_.begin(), other.delay_.end(), delay_.begin());
  std::copy(other.minimum_.begin(), other.minimum_.end(), minimum_.begin());
  std::copy(other.dequeIndex_.begin(), other.dequeIndex_.end(), dequeIndex_.begin());
  std::copy(other.dequeValue_.begin(), other.dequeValue_.end(), dequeValue_.begin());
  dequeHead_ = other.dequeHead_;
  dequeSize_ = other.dequeSize_;
  position_ = other.position_;
  boxSum_ = other.boxSum_;
  gain_ = other.gain_;
}
