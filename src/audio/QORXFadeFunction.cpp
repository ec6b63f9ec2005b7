#include "audio/QORXFadeFunction.h"

#include <algorithm>
#include <cmath>

namespace {
constexpr int64_t kUnitsPerSecond = 100000000;
constexpr int64_t kFadeTime = 3000000;  // 30 ms
}  // namespace

void QORXFadeFunction::Start(uint32_t sampleRate, int64_t holdTime) {
  fadeLength_ = static_cast<uint32_t>(int64_t{sampleRate} * kFadeTime / kUnitsPerSecond);
  // A negative hold would wrap to a huge frame count; treat it as none.
  const int64_t hold = int64_t{sampleRate} * std::max<int64_t>(holdTime, 0) / kUnitsPerSecond;
  holdLength_ = static_cast<uint32_t>(std::min<int64_t>(hold, UINT32_MAX - fadeLength_));
  position_ = 0;
  gain_ = 1.0f;
  active_ = true;
}

float QORXFadeFunction::GetProgress() const {
  const uint32_t total = holdLength_ + fadeLength_;
  if (total == 0) return 1.0f;
  return static_cast<float>(position_) / static_cast<float>(total);
}

float QORXFadeFunction::FadeGain(uint32_t d, uint32_t fadeLength) {
  const float step = 120.0f / static_cast<float>(fadeLength);
  const float db = static_cast<float>(d) * step - 120.0f;
  return std::pow(10.0f, db / 20.0f);
}

void QORXFadeFunction::Mix(IQORAudioData<float>& from, IQORAudioData<float>& to) {
  // Both outputs come from chains of the same format; should they ever differ, blend only what
  // both hold instead of stepping past either buffer.
  uint32_t n = std::min(from.GetFrameCount(), to.GetFrameCount());
  const uint32_t toChannels = to.GetChannelCount();
  const uint32_t fromChannels = from.GetChannelCount();
  const uint32_t shared = std::min(toChannels, fromChannels);
  const float* old = from.GetSamples(false, true);
  float* out = to.GetSamples(true, true);
  if (old == nullptr || out == nullptr || n == 0) {
    from.ReleaseSamples();
    to.ReleaseSamples();
    return;
  }
  uint32_t frame = 0;
  if (position_ < holdLength_) {
    const uint32_t k = std::min(holdLength_, position_ + n) - position_;
    for (uint32_t f = 0; f < k; ++f, ++frame) {
      for (uint32_t c = 0; c < shared; ++c) {
        out[static_cast<size_t>(frame) * toChannels + c] =
            old[static_cast<size_t>(frame) * fromChannels + c];
      }
    }
    n -= k;
    position_ += k;
  }
  if (position_ >= holdLength_) {
    const uint32_t end = std::min(holdLength_ + fadeLength_, position_ + n);
    for (; position_ < end; ++position_, ++frame) {
      const float g = FadeGain(position_ - holdLength_, fadeLength_);
      for (uint32_t c = 0; c < shared; ++c) {
        float& sample = out[static_cast<size_t>(frame) * toChannels + c];
        sample = g * sample + (1.0f - g) * old[static_cast<size_t>(frame) * fromChannels + c];
      }
    }
  }
  from.ReleaseSamples();
  to.ReleaseSamples();
}
