#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "audio/QORAudioDataFloat.h"
#include "audio/QORXFadeFunction.h"

namespace {

// Old output all 1.0, new output all 0.0: after the mix each sample is the old chain's weight.
void MakePeriod(QORAudioDataFloat& from, QORAudioDataFloat& to, uint32_t frames,
                uint32_t channels = 2) {
  const std::vector<float> ones(frames * channels, 1.0f);
  from.Assign(ones.data(), frames, channels, true, 48000);
  to.Init(frames, channels, 48000);
}

TEST(QORXFadeFunction, LengthsFollowTheRate) {
  QORXFadeFunction fade;
  EXPECT_FALSE(fade.IsActive());
  fade.Start(48000, 0);
  EXPECT_EQ(fade.GetFadeLength(), 1440u);
  EXPECT_EQ(fade.GetHoldLength(), 0u);
  EXPECT_TRUE(fade.IsActive());
  fade.Start(44100, 2000000);
  EXPECT_EQ(fade.GetFadeLength(), 1323u);
  EXPECT_EQ(fade.GetHoldLength(), 882u);
  fade.Start(48000, -5);
  EXPECT_EQ(fade.GetHoldLength(), 0u);
}

TEST(QORXFadeFunction, GainRisesLinearlyInDecibels) {
  EXPECT_FLOAT_EQ(QORXFadeFunction::FadeGain(0, 1440), 1e-6f);
  EXPECT_FLOAT_EQ(QORXFadeFunction::FadeGain(720, 1440), 1e-3f);
  QORXFadeFunction fade;
  fade.Start(48000, 0);
  QORAudioDataFloat from, to;
  MakePeriod(from, to, 1440);
  fade.Mix(from, to);
  const float* out = to.GetSamples(false, true);
  EXPECT_FLOAT_EQ(out[0], 1.0f - 1e-6f);
  EXPECT_FLOAT_EQ(out[2 * 720 + 1], 1.0f - 1e-3f);
  EXPECT_LT(QORXFadeFunction::FadeGain(1439, 1440), 1.0f);
  EXPECT_GT(QORXFadeFunction::FadeGain(1439, 1440), 0.99f);
  EXPECT_TRUE(fade.IsComplete());
  EXPECT_EQ(fade.GetProgress(), 1.0f);
}

TEST(QORXFadeFunction, HoldCopiesTheOldOutputThenBlends) {
  QORXFadeFunction fade;
  fade.Start(48000, 0);
  // Hold of 100 frames: 100 / 48000 s in 10 ns units.
  fade.Start(48000, 100 * 100000000LL / 48000 + 1);
  ASSERT_EQ(fade.GetHoldLength(), 100u);
  QORAudioDataFloat from, to;
  MakePeriod(from, to, 480);
  fade.Mix(from, to);
  const float* out = to.GetSamples(false, true);
  for (int f = 0; f < 100; ++f) ASSERT_EQ(out[2 * f], 1.0f) << f;
  for (int f = 100; f < 480; ++f) {
    ASSERT_FLOAT_EQ(out[2 * f], 1.0f - QORXFadeFunction::FadeGain(f - 100, 1440)) << f;
  }
  EXPECT_EQ(fade.GetPosition(), 480u);
  EXPECT_FLOAT_EQ(fade.GetProgress(), 480.0f / 1540.0f);
}

TEST(QORXFadeFunction, HoldLongerThanAPeriodAndTheEnd) {
  QORXFadeFunction fade;
  fade.Start(48000, 1000000);  // 10 ms: 480 frames of hold
  QORAudioDataFloat from, to;
  MakePeriod(from, to, 256);
  fade.Mix(from, to);
  const float* out = to.GetSamples(false, true);
  for (int i = 0; i < 512; ++i) ASSERT_EQ(out[i], 1.0f);
  EXPECT_EQ(fade.GetPosition(), 256u);

  for (int i = 0; i < 10; ++i) {
    MakePeriod(from, to, 256);
    fade.Mix(from, to);
  }
  EXPECT_EQ(fade.GetPosition(), 1920u);
  // Past the end the new output passes untouched.
  MakePeriod(from, to, 256);
  fade.Mix(from, to);
  EXPECT_EQ(to.GetSamples(false, true)[0], 0.0f);
  EXPECT_EQ(fade.GetPosition(), 1920u);
}

TEST(QORXFadeFunction, RateZeroIsCompleteAtOnce) {
  QORXFadeFunction fade;
  fade.Start(0, 5000000);
  EXPECT_EQ(fade.GetFadeLength(), 0u);
  EXPECT_EQ(fade.GetHoldLength(), 0u);
  EXPECT_TRUE(fade.IsComplete());
  EXPECT_EQ(fade.GetProgress(), 1.0f);
  QORAudioDataFloat from, to;
  MakePeriod(from, to, 16);
  fade.Mix(from, to);
  EXPECT_EQ(to.GetSamples(false, true)[0], 0.0f);
}

TEST(QORXFadeFunction, MismatchedBuffersStayInBounds) {
  QORXFadeFunction fade;
  fade.Start(48000, 0);
  QORAudioDataFloat from, to;
  const std::vector<float> ones(480, 1.0f);
  from.Assign(ones.data(), 480, 1, true, 48000);
  to.Init(100, 2, 48000);
  fade.Mix(from, to);
  EXPECT_EQ(fade.GetPosition(), 100u);
  const float* out = to.GetSamples(false, true);
  EXPECT_FLOAT_EQ(out[0], 1.0f - 1e-6f);
  EXPECT_EQ(out[1], 0.0f);
}

}  // namespace
