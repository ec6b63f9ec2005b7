#include <gtest/gtest.h>

#include <cmath>

#include "TechTestLibrary.h"

namespace {

using namespace techtest;

TEST(QORTechNUV, LeftImpulseReachesTheRightEarLateAndDulled) {
  auto p = MakeProcess("NUV", 2, 48000, {{"NUV-Process Enable", 1}, {"NUV-Crossfeed Delay", 500}});
  Channels audio(2, std::vector<float>(4800, 0.0f));
  audio[0][1000] = 1.0f;
  RunBlocks(*p, audio, 480);
  const float g = std::pow(10.0f, -600 / 2000.0f);
  EXPECT_NEAR(audio[0][1000], 1.0f / (1.0f + g), 1e-6);
  for (size_t i = 0; i < 1024; ++i) ASSERT_EQ(audio[1][i], 0.0f) << i;  // 500 us = 24 frames
  size_t peak = 1024;
  for (size_t i = 1024; i < 1200; ++i) {
    if (std::fabs(audio[1][i]) > std::fabs(audio[1][peak])) peak = i;
  }
  EXPECT_GT(peak, 1024u);  // low-passed: smeared after the delay
  EXPECT_LT(audio[1][peak], 0.1f);
  EXPECT_GT(audio[1][peak], 0.005f);
}

TEST(QORTechNUV, CentredLowFrequenciesKeepTheirLevel) {
  auto p = MakeProcess("NUV", 2, 48000, {{"NUV-Process Enable", 1}});
  auto audio = Sine(2, 48000, 60.0, 48000.0, 0.5f);
  RunBlocks(*p, audio, 480);
  EXPECT_NEAR(Db(AmplitudeAt(audio[0], 24000, 60.0, 48000.0) / 0.5), 0.0, 0.3);
}

TEST(QORTechNUV, SurroundFoldsIntoBothEarsAndOtherChannelsFallSilent) {
  auto p = MakeProcess("NUV", 6, 48000, {{"NUV-Process Enable", 1}});
  Channels audio(6, std::vector<float>(4800, 0.0f));
  for (int c = 2; c < 6; ++c) audio[c][2000] = 0.5f;  // centre, LFE, both surrounds
  audio[4][3000] = 1.0f;                              // surround left only
  RunBlocks(*p, audio, 480);
  for (int c = 2; c < 6; ++c) EXPECT_EQ(MaxAbs(audio[c]), 0.0f) << c;
  EXPECT_GT(audio[0][2000], 0.5f);  // centre + LFE + surround arrive at once
  EXPECT_GT(audio[0][3000], 0.4f);
  EXPECT_GT(MaxAbs(audio[1], 3001), 0.01f);  // and the far ear later
}

}  // namespace
