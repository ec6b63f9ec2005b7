#include "audio/QORAudioPeak.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <vector>

namespace {

// The meters' definition: in order, a NaN replaces the running peak and the next sample replaces
// the NaN.
float Reference(const std::vector<float>& samples, uint32_t first, uint32_t frames,
                uint32_t stride) {
  float peak = 0.0f;
  for (uint32_t f = 0; f < frames; ++f) {
    const float level = std::fabs(samples[first + f * stride]);
    peak = peak > level ? peak : level;
  }
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
          const float expected = Reference(samples, c, frames, channels);
          ASSERT_TRUE(Same(peaks[c], expected))
              << channels << " ch, " << frames << " frames, NaN at " << nanAt << ", ch " << c;
          ASSERT_TRUE(Same(QORAudioPeak::Of(samples.data() + c, frames, channels), expected));
        }
        const float all = Reference(samples, 0, frames * channels, 1);
        ASSERT_TRUE(Same(QORAudioPeak::Of(samples.data(), frames * channels, 1), all));
      }
    }
  }
  // The example of the meters: a four-way maximum without the in-order pass would say 0.9.
  const std::vector<float> period = {0.9f, 0.1f, 0.2f, nan, 0.3f, 0.1f, 0.1f, 0.1f};
  EXPECT_EQ(QORAudioPeak::Of(period.data(), 8, 1), 0.3f);
}

}  // namespace
