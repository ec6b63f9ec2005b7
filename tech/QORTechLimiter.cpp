#include "QORTechLimiter.h"

#include <algorithm>
#include <cmath>

namespace {

// The block-wise loops run on the widest vectors the processor has: built for each, chosen at load.
// Windows' loader has no indirect functions to choose with, so there they stay baseline.
#ifdef _WIN32
#define QOR_LIMITER_VECTORS
#else
#define QOR_LIMITER_VECTORS \
  __attribute__((target_clones("arch=x86-64-v4", "arch=x86-64-v3", "default")))
#endif

// The gain each frame needs on its own: ceiling over the frame's peak across the lines.
QOR_LIMITER_VECTORS void RequiredGains(const float* const* lines, uint32_t count, uint32_t frames,
                                       float ceiling, float* required) {
  for (uint32_t i = 0; i < frames; ++i) required[i] = 0.0f;
  for (uint32_t c = 0; c < count; ++c) {
    const float* x = lines[c];
    for (uint32_t i = 0; i < frames; ++i) required[i] = std::max(required[i], std::fabs(x[i]));
  }
  for (uint32_t i = 0; i < frames; ++i) {
    const float peak = required[i];
    required[i] = peak > ceiling ? ceiling / peak : 1.0f;
  }
}

inline void MinimaPass(const float* __restrict from, float* __restrict to, uint32_t length,
                       uint32_t shift) {
  const float* __restrict later = from + shift;
  const size_t count = length - shift;
  for (size_t i = 0; i < count; ++i) to[i] = later[i] < from[i] ? later[i] : from[i];
}

// The minimum of values[i .. i + span) for each i + span <= length, in one of the two scratch
// rows (returned): spans double until the largest power of two within span, then two of them
// overlap to cover it. Each pass reads one row and writes the other, so the loops vectorise.
QOR_LIMITER_VECTORS const float* WindowMinima(const float* values, float* first, float* second,
                                              uint32_t length, uint32_t span) {
  const float* from = values;
  float* to = first;
  uint32_t covered = 1;
  for (; 2 * covered <= span; covered *= 2) {
    MinimaPass(from, to, length, covered);
    length -= covered;
    from = to;
    to = to == first ? second : first;
  }
  if (covered < span) {
    MinimaPass(from, to, length, span - covered);
    from = to;
  }
  return from;
}

QOR_LIMITER_VECTORS void ApplyGains(const float* line, const float* gains, uint32_t frames,
                                    float ceiling, float* out) {
  for (uint32_t i = 0; i < frames; ++i) {
    const float y = line[i] * gains[i];
    out[i] = y > ceiling ? ceiling : (y < -ceiling ? -ceiling : y);
  }
}

}  // namespace

void QORTechLimiter::Init(uint32_t channels, uint32_t rate, float lookAheadSeconds) {
  channels_ = channels;
  rate_ = rate;
  lookAhead_ = std::max<uint32_t>(1, static_cast<uint32_t>(std::lround(lookAheadSeconds * rate)));
  window_ = lookAhead_ + 1;
  lines_.assign(static_cast<size_t>(lookAhead_ + kChunk) * channels_, 0.0f);
  minimum_.assign(window_, 1.0f);
  required_.assign(lookAhead_ + kChunk, 1.0f);
  gains_.assign(kChunk, 1.0f);
  scratch_.assign(2 * (lookAhead_ + kChunk), 1.0f);
  starts_.resize(channels_);
  news_.resize(channels_);
  for (uint32_t c = 0; c < channels_; ++c) {
    starts_[c] = lines_.data() + static_cast<size_t>(c) * (lookAhead_ + kChunk);
    news_[c] = starts_[c] + lookAhead_;
  }
  Reset();
}

void QORTechLimiter::SetReleaseSeconds(float seconds) {
  if (seconds == releaseSeconds_) return;
  releaseSeconds_ = seconds;
  release_ = 1.0f - std::exp(-1.0f / (std::max(seconds, 0.001f) * static_cast<float>(rate_)));
}

void QORTechLimiter::Reset() {
  std::fill(lines_.begin(), lines_.end(), 0.0f);
  std::fill(minimum_.begin(), minimum_.end(), 1.0f);
  std::fill(required_.begin(), required_.end(), 1.0f);
  gain_ = 1.0f;
  position_ = 0;
  boxSum_ = window_;
  replay_ = false;
}

void QORTechLimiter::Process(float* const* channels, uint32_t frames) {
  if (replay_) {
    Replay();
    replay_ = false;
  }
  const bool bypass = !on_ && gain_ == 1.0f;
  if (bypass) {
    Delay(channels, frames);
  } else if (channels_ == 2) {
    Run<2>(channels, frames);
  } else {
    Run<0>(channels, frames);
  }
  // Released as far as float resolution lets the gain move: the rest would never arrive, and
  // unity lets the delay alone run.
  if (!on_ && gain_ < 1.0f && static_cast<float>(boxSum_ / window_) >= 1.0f &&
      gain_ + (1.0f - gain_) * release_ == gain_) {
    gain_ = 1.0f;
  }
}

void QORTechLimiter::Append(float* const* channels, uint32_t offset, uint32_t frames) {
  const size_t stride = lookAhead_ + kChunk;
  for (uint32_t c = 0; c < channels_; ++c) {
    std::copy_n(channels[c] + offset, frames, lines_.data() + c * stride + lookAhead_);
  }
}

void QORTechLimiter::Advance(uint32_t frames) {
  const size_t stride = lookAhead_ + kChunk;
  for (uint32_t c = 0; c < channels_; ++c) {
    float* line = lines_.data() + c * stride;
    std::copy_n(line + frames, lookAhead_, line);
  }
}

void QORTechLimiter::Delay(float* const* channels, uint32_t frames) {
  const size_t stride = lookAhead_ + kChunk;
  for (uint32_t done = 0; done < frames; done += kChunk) {
    const uint32_t n = std::min(kChunk, frames - done);
    Append(channels, done, n);
    for (uint32_t c = 0; c < channels_; ++c) {
      std::copy_n(lines_.data() + c * stride, n, channels[c] + done);
    }
    Advance(n);
  }
  position_ += frames;
}

void QORTechLimiter::Replay() {
  const uint32_t window = window_;
  const uint32_t pending = lookAhead_;
  std::fill(minimum_.begin(), minimum_.end(), 1.0f);
  boxSum_ = window;
  RequiredGains(starts_.data(), channels_, pending, ceiling_, required_.data());
  // The frames still to leave, oldest first; those before the stream's start are silence.
  float minimum = 1.0f;
  for (uint32_t j = 0; j < pending; ++j) {
    minimum = std::min(minimum, required_[j]);
    if (position_ + j < pending) continue;
    const uint32_t slot = static_cast<uint32_t>((position_ + j - pending) % window);
    boxSum_ += static_cast<double>(minimum) - minimum_[slot];
    minimum_[slot] = minimum;
  }
}

template <uint32_t kChannels>
void QORTechLimiter::Run(float* const* channels, uint32_t frames) {
  const uint32_t count = kChannels != 0 ? kChannels : channels_;
  const uint32_t window = window_;
  const uint32_t pending = lookAhead_;
  const size_t stride = pending + kChunk;
  const float ceiling = ceiling_;
  const float* const* news = news_.data();
  float* const required = required_.data();
  float* const gains = gains_.data();
  float* const minima = minimum_.data();
  for (uint32_t done = 0; done < frames; done += kChunk) {
    const uint32_t n = std::min(kChunk, frames - done);
    Append(channels, done, n);
    RequiredGains(news, count, n, ceiling, required + pending);
    // The minimum over the window ending at each new frame: the pending frames' required gains
    // lead the chunk's.
    const float* minimumAt =
        WindowMinima(required, scratch_.data(), scratch_.data() + stride, pending + n, window);
    // The running state lives in locals: the stores would otherwise alias every member.
    const float release = release_;
    const double perFrame = 1.0 / window;
    uint64_t position = position_;
    double boxSum = boxSum_;
    float gain = gain_;
    uint32_t slot = static_cast<uint32_t>(position % window);
    for (uint32_t i = 0; i < n; ++i) {
      // Averaging the minima over the window gives a smooth attack that still never exceeds the
      // limit of the sample leaving the delay: each of those minima covers that sample.
      const float minimum = minimumAt[i];
      boxSum += static_cast<double>(minimum) - minima[slot];
      minima[slot] = minimum;
      const float target = std::min(1.0f, static_cast<float>(boxSum * perFrame));
      gain = target < gain ? target : gain + (target - gain) * release;
      gains[i] = gain;
      slot = slot + 1 == window ? 0 : slot + 1;
    }
    position_ = position + n;
    boxSum_ = boxSum;
    gain_ = gain;
    // The chunk's last required gains lead the next chunk's.
    std::copy_n(required + n, pending, required);
    for (uint32_t c = 0; c < count; ++c) {
      ApplyGains(lines_.data() + c * stride, gains, n, ceiling, channels[c] + done);
    }
    Advance(n);
  }
}

void QORTechLimiter::TakeState(const QORTechLimiter& other) {
  if (other.window_ != window_ || other.channels_ != channels_) return;
  std::copy(other.lines_.begin(), other.lines_.end(), lines_.begin());
  std::copy(other.minimum_.begin(), other.minimum_.end(), minimum_.begin());
  std::copy(other.required_.begin(), other.required_.end(), required_.begin());
  on_ = other.on_;
  replay_ = other.replay_;
  hundredths_ = other.hundredths_;
  ceiling_ = other.ceiling_;
  position_ = other.position_;
  boxSum_ = other.boxSum_;
  gain_ = other.gain_;
}
