#include "audio/QORXFadeFunction.h"

#include <gtest/gtest.h>

#include <vector>

#include "audio/QORAudioDataFloat.h"

namespace {

// Mixes one period of old output all 1.0 into new output all 0.0, so that each sample of the
// result is the old output's weight, and returns the result interleaved.
std::vector<float> MixPeriod(QORXFadeFunction& fade, uint32_t frames) {
  QORAudioDataFloat from, to;
  const std::vector<float> ones(frames * 2, 1.0f);
  from.Assign(ones.data(), frames, 2, true, 48000);
  to.Init(frames, 2, 48000);
  fade.Mix(from, to);
  const float* out = to.GetSamples(false, true);
  return std::vector<float>(out, out + to.GetFrameCount() * 2);
}

TEST(QORXFadeFunction, GainRisesLinearlyInDecibelsFromMinus120AfterItsHold) {
  QORXFadeFunction fade;
  fade.Start(48000, 0);
  EXPECT_EQ(fade.GetFadeLength(), 1440u);
  auto out = MixPeriod(fade, 1440);
  // Weight of the new output every 240 frames: -120 dB rising by 20 dB.
  const float gainEvery240[] = {1e-6f, 1e-5f, 1e-4f, 1e-3f, 1e-2f, 1e-1f};
  for (uint32_t k = 0; k < 6; ++k) {
    EXPECT_NEAR(out[2 * 240 * k], 1.0f - gainEvery240[k], 1e-5f * gainEvery240[k] + 1e-7f)
        << "frame " << 240 * k;
  }
  // The last frame is just short of the new output alone.
  EXPECT_GT(out[2 * 1439], 0.0f);
  EXPECT_LT(out[2 * 1439], 0.01f);
  EXPECT_TRUE(fade.IsComplete());
  // A fade of no length is complete at once, never 0/0.
  fade.Start(0, 5000000);
  EXPECT_TRUE(fade.IsComplete());
  EXPECT_EQ(fade.GetProgress(), 1.0f);

  // A restart in the middle with 6.25 ms of hold (300 frames) copies the old output alone across
  // periods, then blends to the end.
  fade.Start(48000, 0);
  MixPeriod(fade, 100);
  fade.Start(48000, 625000);
  out.clear();
  for (int period = 0; period < 3; ++period) {
    const auto next = MixPeriod(fade, 256);
    out.insert(out.end(), next.begin(), next.end());
  }
  for (uint32_t f = 0; f < 300; ++f) ASSERT_EQ(out[2 * f], 1.0f) << f;
  EXPECT_FLOAT_EQ(out[2 * 300], 1.0f - 1e-6f);
  EXPECT_NEAR(out[2 * 540], 1.0f - 1e-5f, 1e-7f);
  for (uint32_t f = 301; f < 768; ++f) ASSERT_LE(out[2 * f], out[2 * f - 2]) << f;
  EXPECT_FLOAT_EQ(fade.GetProgress(), 768.0f / 1740.0f);
}

}  // namespace
