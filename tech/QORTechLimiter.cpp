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

void QORTechLimiter::Process(float* const* channels, uint32_t frames) {
  switch (channels_) {
    case 1:
      Run<1>(channels, frames);
      break;
    case 2:
      Run<2>(channels, frames);
      break;
    default:
      Run<0>(channels, frames);
      break;
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
  position_ = other.position_;
  boxSum_ = other.boxSum_;
  gain_ = other.gain_;
}
