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

// Noise with a 1 kHz tone that speaks for 300 ms of every 500 ms, like syllables; each burst
// starts at its crest so that a gap at a burst's start would show.
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

TEST(QORTechAecNr, WorksOnlyInTenMillisecondBlocks) {
  auto p = MakeProcess(kId, 1, kRate);
  EXPECT_EQ(p->GetBlockSize(), kBlock);
  // Any other frame count is left alone and not reported.
  SideChain side;
  Channels audio{Noise(kRate, 0.1f, 5)};
  const Channels input = audio;
  RunBlocks(*p, audio, 256, side.Callback());
  RunBlocks(*p, audio, 0, side.Callback());
  EXPECT_EQ(audio, input);
  EXPECT_EQ(side.calls, 0);
}

TEST(QORTechAecNr, ReducesStationaryNoiseAndKeepsTheVoice) {
  auto p = MakeProcess(kId, 1, kRate);
  Channels audio{NoisyTone(6 * kRate, 0.01f)};
  const auto input = audio[0];
  RunBlocks(*p, audio, kBlock);
  for (double start : {4.0, 5.0}) {
    const double gap = Rms(audio[0], start + 0.33 + kLag, start + 0.48 + kLag);
    EXPECT_LT(Db(gap / Rms(input, start + 0.33, start + 0.48)), -9.0) << start;  // default -15 dB
    const double voice = Rms(audio[0], start + 0.05 + kLag, start + 0.25 + kLag);
    EXPECT_NEAR(Db(voice / Rms(input, start + 0.05, start + 0.25)), 0.0, 1.0) << start;
  }
}

TEST(QORTechAecNr, SendsOneSideChainRecordPerBlockWithTheRoomLevel) {
  for (int nr : {1, 0}) {
    auto p = MakeProcess(kId, 2, kRate, {{"AECNR-NR Enable", nr}});
    SideChain side;
    const float rms[2] = {0.001f, 0.0316f};  // -60 and -30 dBFS
    for (int step = 0; step < 2; ++step) {
      Channels audio{Noise(3 * kRate, rms[step], 11 + step), std::vector<float>(3 * kRate, 0.0f)};
      RunBlocks(*p, audio, kBlock, side.Callback());
      EXPECT_NEAR(Db(side.last / rms[step]), 0.0, 2.0) << nr;
    }
    EXPECT_EQ(side.calls, 2 * 3 * 100);
    EXPECT_EQ(side.frames, kBlock);
    EXPECT_TRUE(side.wellFormed);
  }
}

TEST(QORTechAecNr, CancelsTheEchoOfTheReferenceChannel) {
  // The microphone hears the loudspeaker through a delayed, coloured path; channel 1 is the
  // loopback of what was played.
  const auto played = Noise(8 * kRate, 0.1f, 21);
  std::vector<float> mic(played.size(), 0.0f);
  for (size_t i = 60; i < mic.size(); ++i) mic[i] = 0.5f * played[i - 40] + 0.25f * played[i - 60];
  for (int aec : {1, 0}) {
    auto p = MakeProcess(kId, 2, kRate, {{"AECNR-NR Enable", 0}, {"AECNR-AEC Enable", aec}});
    Channels audio{mic, played};
    RunBlocks(*p, audio, kBlock);
    EXPECT_EQ(audio[0], audio[1]);  // the reference never reaches the recording
    const double echo = Db(Rms(audio[0], 7.0, 7.9) / Rms(mic, 7.0, 7.9));
    if (aec) {
      EXPECT_LT(echo, -20.0);
    } else {
      EXPECT_NEAR(echo, 0.0, 0.1);
    }
  }
}

TEST(QORTechAecNr, TakeStateContinuesTheVoiceAndTheRoomLevel) {
  constexpr uint32_t kHalf = 4 * kRate + 10 * kBlock;  // 4.1 s: inside a burst, at a crest
  const Channels voice{NoisyTone(kHalf + 2 * kRate, 0.01f)};
  enum Mode { kContinuous, kTaken, kCold };
  auto run = [&](Mode mode, SideChain& first, SideChain& second) {
    auto a = MakeProcess(kId, 1, kRate);
    auto b = MakeProcess(kId, 1, kRate);
    auto x = Slice(voice, 0, kHalf);
    auto y = Slice(voice, kHalf, voice[0].size());
    RunBlocks(*a, x, kBlock, first.Callback());
    if (mode == kTaken) {
      EXPECT_TRUE(b->TakeState(a.get()));
    }
    RunBlocks(mode == kContinuous ? *a : *b, y, kBlock, second.Callback());
    x[0].insert(x[0].end(), y[0].begin(), y[0].end());
    return x[0];
  };
  SideChain a1, a2, b1, b2, c1, c2;
  run(kContinuous, a1, a2);
  const auto taken = run(kTaken, b1, b2);
  const auto cold = run(kCold, c1, c2);
  // No step at the switch beyond what the output does anyway just before and after it.
  auto clickFree = [&](const std::vector<float>& out) {
    const float own = std::max(MaxStep(out, kHalf - 4800, kHalf - 1),
                               MaxStep(out, kHalf + 3 * kBlock, kHalf + 4800));
    return MaxStep(out, kHalf - 1, kHalf + 3 * kBlock) <= own * 1.1f;
  };
  EXPECT_TRUE(clickFree(taken));
  EXPECT_FALSE(clickFree(cold));
  // The render side sees the room level carry on where it was.
  EXPECT_NEAR(Db(b2.first / b1.last), 0.0, 0.1);
  EXPECT_NEAR(Db(b2.last / a2.last), 0.0, 0.5);
}

}  // namespace
