// The two processes of the side chain: the echo canceller and noise suppressor that reports the
// room's level, and the voice lift that follows it.
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

// RMS of x over [from, to) seconds.
double Rms(const std::vector<float>& x, double from, double to) {
  double sum = 0.0;
  const auto a = static_cast<size_t>(from * kRate), b = static_cast<size_t>(to * kRate);
  for (size_t i = a; i < b; ++i) sum += static_cast<double>(x[i]) * x[i];
  return std::sqrt(sum / static_cast<double>(b - a));
}

TEST(QORTechAecNr, ReducesStationaryNoiseAndKeepsTheVoice) {
  // Noise with a 1 kHz tone that speaks for 300 ms of every 500 ms, like syllables.
  auto p = MakeProcess("QOR AEC/NR", 1, kRate);
  Channels audio{Noise(6 * kRate, 0.01f, 7)};
  for (size_t i = 0; i < audio[0].size(); ++i) {
    const double t = static_cast<double>(i) / kRate;
    if (std::fmod(t, 0.5) < 0.3)
      audio[0][i] += 0.3f * std::cos(2.0 * std::numbers::pi * 1000.0 * t);
  }
  const auto input = audio[0];
  RunBlocks(*p, audio, 480);
  const double lag = 0.01;                                                              // one block
  EXPECT_LT(Db(Rms(audio[0], 5.33 + lag, 5.48 + lag) / Rms(input, 5.33, 5.48)), -9.0);  // -15 dB
  EXPECT_NEAR(Db(Rms(audio[0], 5.05 + lag, 5.25 + lag) / Rms(input, 5.05, 5.25)), 0.0, 1.0);
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

TEST(QORTechClarix, LiftsWhenTheRoomIsLoudAndLeavesTheSignalAloneWhenQuiet) {
  // A low tone carries the level, a 3 kHz tone the presence.
  Channels input(2, std::vector<float>(3 * kRate));
  for (uint32_t i = 0; i < 3 * kRate; ++i) {
    const double t = static_cast<double>(i) / kRate;
    input[0][i] = 0.05f * static_cast<float>(std::cos(2.0 * std::numbers::pi * 300.0 * t) +
                                             std::cos(2.0 * std::numbers::pi * 3000.0 * t));
    input[1][i] = -input[0][i];
  }
  // -60 dBFS is below the -50 dBFS threshold; -30 dBFS and louder give the full set amounts.
  for (float room : {0.001f, 0.0316f, 0.3f}) {
    auto p = MakeProcess("QOR Clarix+", 2, kRate);
    SideChain side{room};
    Channels audio = input;
    RunBlocks(*p, audio, 480, side.Callback());
    auto lift = [&](double freq) {
      return Db(AmplitudeAt(audio[0], 2 * kRate, freq, kRate) /
                AmplitudeAt(input[0], 2 * kRate, freq, kRate));
    };
    if (room < 0.01f) {
      EXPECT_EQ(audio, input);
    } else {
      EXPECT_NEAR(lift(300.0), 6.0, 0.3) << room;
      EXPECT_NEAR(lift(3000.0), 12.0, 0.5) << room;
    }
  }
}

}  // namespace
