// The echo canceller and noise suppressor reports the room's level through the side chain.
#include <random>

#include "TechTestLibrary.h"

namespace {

using namespace techtest;

constexpr uint32_t kRate = 48000;

std::vector<float> Noise(size_t frames, float rms, uint32_t seed) {
  std::mt19937 engine(seed);
  std::normal_distribution<float> normal(0.0f, rms);
  std::vector<float> out(frames);
  for (float& v : out) v = normal(engine);
  return out;
}

TEST(QORTechAecNr, SendsOneSideChainRecordPerBlockWithTheRoomLevel) {
  auto p = MakeProcess("QOR AEC/NR", 2, kRate);
  SideChain side;
  for (float rms : {0.001f, 0.0316f}) {  // -60 and -30 dBFS
    Channels audio{Noise(3 * kRate, rms, 11), std::vector<float>(3 * kRate, 0.0f)};
    RunBlocks(*p, audio, 480, side.Callback());
    EXPECT_NEAR(Db(side.last / rms), 0.0, 2.0) << rms;
  }
  EXPECT_EQ(side.calls, 2 * 3 * 100);
  EXPECT_EQ(side.frames, 480u);
  EXPECT_TRUE(side.wellFormed);
}

}  // namespace
