#include <gtest/gtest.h>

#include <cmath>
#include <cstring>

#include "TechTestLibrary.h"

namespace {

using namespace techtest;

TEST(QORTechSpeakerProtection, CeilingHoldsOnFullScaleSquaresAndImpulsesAtEveryRate) {
  for (uint32_t rate : {8000u, 48000u, 192000u}) {
    for (uint32_t channels : {1u, 12u}) {
      auto p = MakeProcess("QOR Speaker Protection", channels, rate);
      ASSERT_TRUE(p);
      EXPECT_EQ(p->GetLatency(), static_cast<uint32_t>(std::lround(0.002 * rate)));
      Channels audio(channels, std::vector<float>(rate, 0.0f));
      for (uint32_t c = 0; c < channels; ++c) {
        for (uint32_t i = 0; i < rate / 2; ++i) {
          audio[c][i] = ((i + 7 * c) / (rate / 400 + c)) % 2 ? 1.0f : -1.0f;
        }
        for (uint32_t i = rate / 2 + c; i < rate; i += 61 + c) audio[c][i] = -1.0f;
      }
      RunBlocks(*p, audio, 0);
      const float ceiling = std::pow(10.0f, -300 / 2000.0f);
      for (uint32_t c = 0; c < channels; ++c) {
        EXPECT_LE(MaxAbs(audio[c]), ceiling) << rate << " Hz channel " << c;
      }
    }
  }
}

TEST(QORTechSpeakerProtection, HighPassRemovesExcursionBandAndKeepsTheMidrange) {
  auto level = [](double freq) {
    auto p = MakeProcess("QOR Speaker Protection", 1, 48000);
    EXPECT_TRUE(p->SetControlInt("SP-High-Pass Frequency", 100));
    auto audio = Sine(1, 48000, freq, 48000.0, 0.1f);
    RunBlocks(*p, audio, 480);
    return Db(AmplitudeAt(audio[0], 24000, freq, 48000.0) / 0.1);
  };
  EXPECT_LT(level(30.0), -30.0);
  EXPECT_NEAR(level(100.0), -3.0, 0.3);  // Butterworth corner
  EXPECT_NEAR(level(1000.0), 0.0, 0.05);
}

TEST(QORTechSpeakerProtection, DisabledIsAPureDelayOfTheDeclaredLatency) {
  auto p = MakeProcess("QOR Speaker Protection", 2, 48000);
  ASSERT_TRUE(p->SetControlString("SP-Enable", "Off"));
  auto audio = Sine(2, 2000, 50.0, 48000.0, 1.0f);
  const Channels input = audio;
  RunBlocks(*p, audio, 128);
  const uint32_t latency = p->GetLatency();
  ASSERT_EQ(latency, 96u);
  EXPECT_EQ(0, std::memcmp(audio[1].data() + latency, input[1].data(),
                           (input[1].size() - latency) * sizeof(float)));
}

}  // namespace
