#include "audio/QORAudioPeak.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <vector>

namespace {

// The meters' definition, in order: a NaN replaces the running peak, the next sample the NaN.
float Reference(const float* samples, uint32_t frames, uint32_t stride) {
  float peak = 0.0f;
  for (uint32_t f = 0; f < frames; ++f)
    peak = peak > std::fabs(samples[f * stride]) ? peak : std::fabs(samples[f * stride]);
  return peak;
}

bool Same(float a, float b) {
  return std::memcmp(&a, &b, sizeof(a)) == 0 || (std::isnan(a) && std::isnan(b));
}

// Every channel count, every length around the block widths, with and without NaNs (at the start,
// in a block, in the tail, last), equals the in-order answer exactly.
TEST(QORAudioPeak, EqualsTheInOrderPeakWhateverTheSplit) {
  std::mt19937 random(7);
  std::uniform_real_distribution<float> level(-1.0f, 1.0f);
  const float nan = std::numeric_limits<float>::quiet_NaN();
  for (uint32_t channels = 1; channels <= 12; ++channels) {
    for (uint32_t frames = 0; frames <= 40; ++frames) {
      for (int nanAt : {-1, 0, 5, 17, static_cast<int>(frames * channels) - 1}) {
        std::vector<float> samples(frames * channels);
        for (float& s : samples) s = level(random);
        if (nanAt >= 0 && nanAt < static_cast<int>(samples.size())) samples[nanAt] = nan;
        std::vector<float> peaks(channels, -1.0f);
        QORAudioPeak::OfInterleaved(samples.data(), frames, channels, peaks.data());
        for (uint32_t c = 0; c < channels; ++c) {
          const float expected = Reference(samples.data() + c, frames, channels);
          ASSERT_TRUE(Same(peaks[c], expected))
              << channels << " ch, " << frames << " frames, NaN at " << nanAt << ", ch " << c;
          ASSERT_TRUE(Same(QORAudioPeak::Of(samples.data() + c, frames, channels), expected));
        }
        ASSERT_TRUE(Same(QORAudioPeak::Of(samples.data(), frames * channels, 1),
                         Reference(samples.data(), frames * channels, 1)));
      }
    }
  }
  // The example of the meters: a four-way maximum without the in-order pass would say 0.9.
  const std::vector<float> period = {0.9f, 0.1f, 0.2f, nan, 0.3f, 0.1f, 0.1f, 0.1f};
  EXPECT_EQ(QORAudioPeak::Of(period.data(), 8, 1), 0.3f);
}

}  // namespace
