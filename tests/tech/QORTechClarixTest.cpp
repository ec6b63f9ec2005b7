#include <gtest/gtest.h>

#include <cmath>
#include <numbers>
#include <vector>

#include "TechTestLibrary.h"

namespace {

using namespace techtest;

constexpr char kId[] = "QOR Clarix+";
constexpr uint32_t kRate = 48000;

// A low tone carries the level, a 3 kHz tone the presence.
Channels Programme(uint32_t frames, float amplitude) {
  Channels audio(2, std::vector<float>(frames));
  for (uint32_t i = 0; i < frames; ++i) {
    const double t = static_cast<double>(i) / kRate;
    const float v = amplitude * static_cast<float>(std::cos(2.0 * std::numbers::pi * 300.0 * t) +
                                                   std::cos(2.0 * std::numbers::pi * 3000.0 * t));
    audio[0][i] = v;
    audio[1][i] = -v;
  }
  return audio;
}

TEST(QORTechClarix, LiftsWhenTheRoomIsLoudAndLeavesTheSignalAloneWhenQuiet) {
  const Channels input = Programme(3 * kRate, 0.05f);
  // -60 dBFS is below the -50 dBFS threshold; -30 dBFS and louder give the full set amounts.
  for (float room : {0.001f, 0.0316f, 0.3f}) {
    auto p = MakeProcess(kId, 2, kRate);
    SideChain side{room};
    Channels audio = input;
    RunBlocks(*p, audio, 480, side.Callback());
    if (room < 0.01f) {
      EXPECT_EQ(audio, input);
      continue;
    }
    auto lift = [&](double freq) {
      return Db(AmplitudeAt(audio[0], 2 * kRate, freq, kRate) /
                AmplitudeAt(input[0], 2 * kRate, freq, kRate));
    };
    EXPECT_NEAR(lift(300.0), 6.0, 0.3) << room;
    EXPECT_NEAR(lift(3000.0), 12.0, 0.5) << room;
  }
}

}  // namespace
