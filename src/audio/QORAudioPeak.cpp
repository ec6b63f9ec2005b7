#include "audio/QORAudioPeak.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstring>
#include <iterator>

namespace {

// Contiguous samples in blocks of this many lanes; a channel count that divides it keeps each
// lane on one channel.
constexpr uint32_t kLanes = 16;

float InOrder(const float* samples, uint32_t frames, uint32_t stride) {
  float peak = 0.0f;
  for (uint32_t f = 0; f < frames; ++f) {
    const float level = std::fabs(samples[static_cast<size_t>(f) * stride]);
    peak = peak > level ? peak : level;
  }
  return peak;
}

// Magnitudes compare as their bit patterns with the sign cleared: for numbers the order of the
// patterns is the order of the values, infinity included, and every NaN lies above infinity. With
// the sign bit clear the patterns are non-negative as signed whole numbers too, whose maximum every
// vector instruction set has (the unsigned one needs SSE4.1), so the lanes run in vector registers.
constexpr int32_t kMagnitudeBits = 0x7FFFFFFF;
constexpr int32_t kInfinityBits = 0x7F800000;

// Running maxima of count contiguous samples, lane i taking the samples at i modulo kLanes. True
// when no NaN was met. Compiled twice below: for the baseline, whose signed maximum takes four
// instructions a vector, and for AVX2, where it is one instruction over eight lanes.
[[gnu::always_inline]] inline bool LaneMaximaLoop(const float* samples, size_t count,
                                                  float (&out)[kLanes]) {
  int32_t lanes[kLanes] = {};
  size_t i = 0;
  for (; i + kLanes <= count; i += kLanes) {
    for (uint32_t lane = 0; lane < kLanes; ++lane) {
      int32_t bits;
      std::memcpy(&bits, samples + i + lane, sizeof(bits));
      bits &= kMagnitudeBits;
      lanes[lane] = lanes[lane] > bits ? lanes[lane] : bits;
    }
  }
  for (uint32_t lane = 0; i < count; ++i, ++lane) {
    int32_t bits;
    std::memcpy(&bits, samples + i, sizeof(bits));
    lanes[lane] = std::max(lanes[lane], bits & kMagnitudeBits);
  }
  if (*std::max_element(std::begin(lanes), std::end(lanes)) > kInfinityBits) return false;
  std::memcpy(out, lanes, sizeof(lanes));
  return true;
}

bool LaneMaximaBaseline(const float* samples, size_t count, float (&out)[kLanes]) {
  return LaneMaximaLoop(samples, count, out);
}

[[gnu::target("avx2")]] bool LaneMaximaAvx2(const float* samples, size_t count,
                                            float (&out)[kLanes]) {
  return LaneMaximaLoop(samples, count, out);
}

// Chosen once: meters take peaks every period of every object.
using LaneMaximaFunction = bool (*)(const float*, size_t, float (&)[kLanes]);
const LaneMaximaFunction LaneMaxima = [] {
  __builtin_cpu_init();
  return __builtin_cpu_supports("avx2") ? LaneMaximaAvx2 : LaneMaximaBaseline;
}();

}  // namespace

float QORAudioPeak::Of(const float* samples, uint32_t frames, uint32_t stride) {
  if (stride == 1) {
    float lanes[kLanes];
    if (!LaneMaxima(samples, frames, lanes)) return InOrder(samples, frames, 1);
    return *std::max_element(std::begin(lanes), std::end(lanes));
  }
  float lanes[4] = {0.0f, 0.0f, 0.0f, 0.0f};
  bool ordered = true;
  uint32_t f = 0;
  for (; f + 4 <= frames; f += 4) {
    for (uint32_t lane = 0; lane < 4; ++lane) {
      const float level = std::fabs(samples[static_cast<size_t>(f + lane) * stride]);
      ordered &= level == level;
      lanes[lane] = lanes[lane] > level ? lanes[lane] : level;
    }
  }
  for (; f < frames; ++f) {
    const float level = std::fabs(samples[static_cast<size_t>(f) * stride]);
    ordered &= level == level;
    lanes[0] = lanes[0] > level ? lanes[0] : level;
  }
  if (!ordered) return InOrder(samples, frames, stride);
  return std::max(std::max(lanes[0], lanes[1]), std::max(lanes[2], lanes[3]));
}

void QORAudioPeak::OfInterleaved(const float* samples, uint32_t frames, uint32_t channels,
                                 float* peaks) {
  if (channels == 0) return;
  if (kLanes % channels != 0) {
    for (uint32_t c = 0; c < channels; ++c) peaks[c] = Of(samples + c, frames, channels);
    return;
  }
  float lanes[kLanes];
  if (!LaneMaxima(samples, static_cast<size_t>(frames) * channels, lanes)) {
    for (uint32_t c = 0; c < channels; ++c) peaks[c] = InOrder(samples + c, frames, channels);
    return;
  }
  for (uint32_t c = 0; c < channels; ++c) {
    float peak = 0.0f;
    for (uint32_t lane = c; lane < kLanes; lane += channels) peak = std::max(peak, lanes[lane]);
    peaks[c] = peak;
  }
}
