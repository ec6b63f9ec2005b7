#include <gtest/gtest.h>

#include <cmath>
#include <numbers>
#include <vector>

#include "TechTestLibrary.h"

namespace {

using namespace techtest;

constexpr char kId[] = "QOR Clarix+";
constexpr uint32_t kRate = 48000;

// A low tone carries the level, a 3 kHz tone the presence; both start at their crest.
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

TEST(QORTechClarix, QuietRoomNoSideChainOrSwitchedOffLeavesTheSignalBitExact) {
  const Channels input = Programme(2 * kRate, 0.2f);
  // -60 dBFS (below the -50 dBFS threshold), a silent pipe, no side chain, and a loud room but off.
  for (float room : {0.001f, 0.0f, -1.0f, 0.0316f}) {
    auto p = MakeProcess(kId, 2, kRate, {{"CLARIX-Enable", room > 0.01f ? 0 : 1}});
    SideChain side{room};
    Channels audio = input;
    RunBlocks(*p, audio, 480, room < 0.0f ? nullptr : side.Callback());
    EXPECT_EQ(audio, input) << room;
  }
}

TEST(QORTechClarix, LiftGrowsWithTheRoomLevelUpToTheSetAmounts) {
  const Channels input = Programme(3 * kRate, 0.05f);
  // -40 dBFS is halfway from the threshold to full effect, -30 dBFS full, louder no more than full.
  const struct {
    float room;
    double low, presence, tolerance;
  } cases[] = {{0.01f, 3.0, 6.0, 0.3}, {0.0316f, 6.0, 12.0, 0.3}, {0.3f, 6.0, 12.0, 0.1}};
  for (const auto& c : cases) {
    auto p = MakeProcess(kId, 2, kRate);
    SideChain side{c.room};
    Channels audio = input;
    RunBlocks(*p, audio, 480, side.Callback());
    auto lift = [&](double freq) {
      return Db(AmplitudeAt(audio[0], 2 * kRate, freq, kRate) /
                AmplitudeAt(input[0], 2 * kRate, freq, kRate));
    };
    EXPECT_NEAR(lift(300.0), c.low, c.tolerance) << c.room;
    EXPECT_NEAR(lift(3000.0), c.presence, c.tolerance + 0.2) << c.room;
  }
}

}  // namespace
