#include <gtest/gtest.h>

#include <vector>

#include "audio/QORAudioDataFloat.h"
#include "audio/QORXFadeFunction.h"

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

TEST(QORXFadeFunction, ZeroLengthFadeIsCompleteAtOnce) {
  QORXFadeFunction fade;
  fade.Start(0, 5000000);
  EXPECT_TRUE(fade.IsActive());
  EXPECT_TRUE(fade.IsComplete());
  EXPECT_EQ(fade.GetProgress(), 1.0f);  // never 0/0
}

TEST(QORXFadeFunction, MismatchedBuffersBlendOnlyWhatBothHold) {
  QORXFadeFunction fade;
  fade.Start(48000, 0);
  QORAudioDataFloat from, to;
  const std::vector<float> ones(480, 1.0f);
  from.Assign(ones.data(), 480, 1, true, 48000);
  to.Init(100, 2, 48000);
  fade.Mix(from, to);
  EXPECT_EQ(fade.GetPosition(), 100u);
  EXPECT_FLOAT_EQ(to.GetSamples(false, true)[0], 1.0f - 1e-6f);
  EXPECT_EQ(to.GetSamples(false, true)[1], 0.0f);
}

TEST(QORXFadeFunction, GainRisesLinearlyInDecibelsFromMinus120) {
  EXPECT_FLOAT_EQ(QORXFadeFunction::FadeGain(0, 1440), 1e-6f);
  EXPECT_FLOAT_EQ(QORXFadeFunction::FadeGain(720, 1440), 1e-3f);
  EXPECT_LT(QORXFadeFunction::FadeGain(1439, 1440), 1.0f);
  EXPECT_GT(QORXFadeFunction::FadeGain(1439, 1440), 0.99f);
  QORXFadeFunction fade;
  fade.Start(48000, 0);
  const auto out = MixPeriod(fade, 1440);
  EXPECT_FLOAT_EQ(out[0], 1.0f - 1e-6f);
  EXPECT_FLOAT_EQ(out[2 * 720 + 1], 1.0f - 1e-3f);
  EXPECT_TRUE(fade.IsComplete());
  EXPECT_EQ(fade.GetProgress(), 1.0f);
}

TEST(QORXFadeFunction, HoldCopiesTheOldOutputAcrossPeriodsThenBlendsToTheEnd) {
  QORXFadeFunction fade;
  fade.Start(48000, 0);
  MixPeriod(fade, 100);
  fade.Start(48000, 625000);  // restarts with 6.25 ms of hold: 300 frames
  auto out = MixPeriod(fade, 256);
  const auto second = MixPeriod(fade, 256);
  out.insert(out.end(), second.begin(), second.end());
  for (uint32_t f = 0; f < 512; ++f) {
    const float expected = f < 300 ? 1.0f : 1.0f - QORXFadeFunction::FadeGain(f - 300, 1440);
    ASSERT_FLOAT_EQ(out[2 * f], expected) << f;
  }
  EXPECT_FLOAT_EQ(fade.GetProgress(), 512.0f / 1740.0f);
}

}  // namespace
