#include <gtest/gtest.h>

#include <cmath>
#include <numbers>
#include <random>
#include <vector>

#include "TechTestLibrary.h"

namespace {

using namespace techtest;

constexpr char kId[] = "QOR AEC/NR";
constexpr uint32_t kRate = 48000;
constexpr uint32_t kBlock = 480;
constexpr double kLag = static_cast<double>(kBlock) / kRate;

std::vector<float> Noise(size_t frames, float rms, uint32_t seed) {
  std::mt19937 engine(seed);
  std::normal_distribution<float> normal(0.0f, rms);
  std::vector<float> out(frames);
  for (float& v : out) v = normal(engine);
  return out;
}

// Noise with a 1 kHz tone that speaks for 300 ms of every 500 ms, like syllables.
std::vector<float> NoisyTone(size_t frames, float noiseRms) {
  auto out = Noise(frames, noiseRms, 7);
  for (size_t i = 0; i < frames; ++i) {
    const double t = static_cast<double>(i) / kRate;
    if (std::fmod(t, 0.5) < 0.3) out[i] += 0.3f * std::cos(2.0 * std::numbers::pi * 1000.0 * t);
  }
  return out;
}

double Rms(const std::vector<float>& x, double from, double to) {
  double sum = 0.0;
  const auto a = static_cast<size_t>(from * kRate), b = static_cast<size_t>(to * kRate);
  for (size_t i = a; i < b; ++i) sum += static_cast<double>(x[i]) * x[i];
  return std::sqrt(sum / static_cast<double>(b - a));
}

TEST(QORTechAecNr, ReducesStationaryNoiseAndKeepsTheVoice) {
  auto p = MakeProcess(kId, 1, kRate);
  Channels audio{NoisyTone(6 * kRate, 0.01f)};
  const auto input = audio[0];
  RunBlocks(*p, audio, kBlock);
  const double gap = Rms(audio[0], 5.33 + kLag, 5.48 + kLag);
  EXPECT_LT(Db(gap / Rms(input, 5.33, 5.48)), -9.0);  // default -15 dB
  const double voice = Rms(audio[0], 5.05 + kLag, 5.25 + kLag);
  EXPECT_NEAR(Db(voice / Rms(input, 5.05, 5.25)), 0.0, 1.0);
}

TEST(QORTechAecNr, SendsOneSideChainRecordPerBlockWithTheRoomLevel) {
  auto p = MakeProcess(kId, 2, kRate);
  SideChain side;
  for (float rms : {0.001f, 0.0316f}) {  // -60 and -30 dBFS
    Channels audio{Noise(3 * kRate, rms, 11), std::vector<float>(3 * kRate, 0.0f)};
    RunBlocks(*p, audio, kBlock, side.Callback());
    EXPECT_NEAR(Db(side.last / rms), 0.0, 2.0) << rms;
  }
  EXPECT_EQ(side.calls, 2 * 3 * 100);
  EXPECT_EQ(side.frames, kBlock);
  EXPECT_TRUE(side.wellFormed);
}

}  // namespace
