#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <numbers>
#include <random>
#include <vector>

#include "AllocationCounter.h"
#include "TechTestLibrary.h"

namespace {

using namespace techtest;

constexpr char kId[] = "QOR AEC/NR";
constexpr uint32_t kRate = 48000;
constexpr uint32_t kBlock = 480;

struct SideChainLog {
  int calls = 0;
  uint32_t frames = 0;
  bool wellFormed = true;
  float first = -1.0f;
  float last = 0.0f;
};

void Record(TechChannel* channel, uint32_t frames, void* context) {
  auto* log = static_cast<SideChainLog*>(context);
  ++log->calls;
  log->frames = frames;
  log->wellFormed = log->wellFormed && channel != nullptr && channel->samples != nullptr &&
                    channel->role == kTechSideChainRole && channel->next == nullptr;
  if (log->wellFormed && frames > 0) {
    if (log->calls == 1) log->first = channel->samples[0];
    log->last = channel->samples[frames - 1];
  }
}

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

TEST(QORTechAecNr, WorksInTenMillisecondBlocksDelayedByOne) {
  for (uint32_t rate : {8000u, 44100u, 48000u, 192000u}) {
    auto p = MakeProcess(kId, 2, rate);
    ASSERT_TRUE(p) << rate;
    EXPECT_EQ(p->GetBlockSize(), rate / 100);
    EXPECT_EQ(p->GetLatency(), rate / 100);
  }
  // With noise reduction off and no reference the output is the input one block later, exactly.
  auto p = MakeProcess(kId, 1, kRate);
  ASSERT_TRUE(p->SetControlString("AECNR-NR Enable", "Off"));
  Channels audio{NoisyTone(20 * kBlock, 0.01f)};
  const auto input = audio[0];
  RunBlocks(*p, audio, kBlock);
  for (size_t i = 0; i < kBlock; ++i) ASSERT_EQ(audio[0][i], 0.0f);
  for (size_t i = kBlock; i < input.size(); ++i) ASSERT_EQ(audio[0][i], input[i - kBlock]) << i;
}

TEST(QORTechAecNr, ReducesStationaryNoiseAndKeepsTheVoice) {
  auto p = MakeProcess(kId, 1, kRate);
  Channels audio{NoisyTone(6 * kRate, 0.01f)};
  const auto input = audio[0];
  RunBlocks(*p, audio, kBlock);
  const double lag = static_cast<double>(kBlock) / kRate;
  for (double start : {4.0, 5.0}) {
    const double gapIn = Rms(input, start + 0.33, start + 0.48);
    const double gapOut = Rms(audio[0], start + 0.33 + lag, start + 0.48 + lag);
    EXPECT_LT(Db(gapOut / gapIn), -9.0) << start;  // default ceiling -15 dB; measured about -12
    const double toneIn =
        AmplitudeAt(input, static_cast<size_t>((start + 0.05) * kRate), 1000.0, kRate);
    EXPECT_NEAR(Db(Rms(audio[0], start + 0.05 + lag, start + 0.25 + lag) /
                   Rms(input, start + 0.05, start + 0.25)),
                0.0, 1.0)
        << toneIn;
  }
  // A deeper setting takes more noise away.
  auto deep = MakeProcess(kId, 1, kRate);
  ASSERT_TRUE(deep->SetControlInt("AECNR-NR Level", -3000));
  Channels again{input};
  RunBlocks(*deep, again, kBlock);
  EXPECT_LT(Rms(again[0], 5.34, 5.49), Rms(audio[0], 5.34, 5.49) * 0.7);
}

TEST(QORTechAecNr, SendsOneSideChainRecordPerBlockWithTheRoomLevel) {
  for (bool nr : {true, false}) {
    auto p = MakeProcess(kId, 2, kRate);
    ASSERT_TRUE(p->SetControlInt("AECNR-NR Enable", nr ? 1 : 0));
    SideChainLog log;
    const TechCallback callback{&Record, &log};
    float levels[2] = {};
    const float rms[2] = {0.001f, 0.0316f};  // -60 and -30 dBFS
    for (int step = 0; step < 2; ++step) {
      Channels audio{Noise(3 * kRate, rms[step], 11 + step), std::vector<float>(3 * kRate, 0.0f)};
      RunBlocks(*p, audio, kBlock, &callback);
      levels[step] = log.last;
    }
    EXPECT_EQ(log.calls, 2 * 3 * 100);
    EXPECT_EQ(log.frames, kBlock);
    EXPECT_TRUE(log.wellFormed);
    EXPECT_NEAR(Db(levels[0] / rms[0]), 0.0, 2.0) << nr;
    EXPECT_NEAR(Db(levels[1] / rms[1]), 0.0, 2.0) << nr;
  }
  // No callback, or one without a function, is simply not called.
  auto p = MakeProcess(kId, 1, kRate);
  Channels audio{Noise(kRate, 0.01f, 3)};
  const TechCallback empty{nullptr, nullptr};
  RunBlocks(*p, audio, kBlock, &empty);
  RunBlocks(*p, audio, kBlock, nullptr);
}

TEST(QORTechAecNr, AnyOtherFrameCountIsLeftAloneAndNotReported) {
  auto p = MakeProcess(kId, 1, kRate);
  SideChainLog log;
  const TechCallback callback{&Record, &log};
  Channels audio{Noise(kRate, 0.1f, 5)};
  const Channels input = audio;
  RunBlocks(*p, audio, 256, &callback);
  RunBlocks(*p, audio, 0, &callback);
  EXPECT_EQ(audio, input);
  EXPECT_EQ(log.calls, 0);
}

// Microphone hears the loudspeaker through a delayed, coloured path; the second channel is the
// loopback of what was played.
Channels EchoScene(uint32_t frames) {
  const auto played = Noise(frames, 0.1f, 21);
  std::vector<float> mic(frames, 0.0f);
  for (size_t i = 60; i < frames; ++i) mic[i] = 0.5f * played[i - 40] + 0.25f * played[i - 60];
  return {mic, played};
}

TEST(QORTechAecNr, CancelsTheEchoOfTheReferenceChannel) {
  auto run = [](bool aec) {
    auto p = MakeProcess(kId, 2, kRate);
    EXPECT_TRUE(p->SetControlInt("AECNR-NR Enable", 0));  // measure the canceller alone
    EXPECT_TRUE(p->SetControlInt("AECNR-AEC Enable", aec ? 1 : 0));
    auto audio = EchoScene(8 * kRate);
    const auto mic = audio[0];
    RunBlocks(*p, audio, kBlock);
    EXPECT_EQ(audio[0], audio[1]);  // the reference never reaches the recording
    return Db(Rms(audio[0], 7.0, 7.9) / Rms(mic, 7.0, 7.9));
  };
  EXPECT_LT(run(true), -20.0);
  EXPECT_NEAR(run(false), 0.0, 0.1);
}

TEST(QORTechAecNr, RealTimePathNeverAllocatesAndDecaysCleanly) {
  for (uint32_t rate : {8000u, 48000u, 192000u}) {
    auto p = MakeProcess(kId, 2, rate);
    SideChainLog log;
    const TechCallback callback{&Record, &log};
    const uint32_t block = rate / 100;
    Channels audio{Noise(rate, 0.9f, 1), Noise(rate, 0.9f, 2)};
    audio[0].resize(rate * 4, 0.0f);
    audio[1].resize(rate * 4, 0.0f);
    qortest::AllocationScope scope;
    RunBlocks(*p, audio, block, &callback);
    ASSERT_TRUE(p->SetControlInt("AECNR-AEC Enable", 0));
    ASSERT_TRUE(p->SetControlInt("AECNR-NR Level", -3000));
    RunBlocks(*p, audio, block, &callback);
    EXPECT_EQ(scope.Count(), 0u) << rate;
    for (const auto& ch : audio) {
      for (float s : ch) {
        ASSERT_TRUE(std::isfinite(s));
        ASSERT_NE(std::fpclassify(s), FP_SUBNORMAL);
      }
    }
    EXPECT_EQ(MaxAbs(audio[0], rate * 3), 0.0f) << rate;
    EXPECT_TRUE(std::isfinite(log.last));
    EXPECT_NE(std::fpclassify(log.last), FP_SUBNORMAL);
  }
}

TEST(QORTechAecNr, TakeStateContinuesTheVoiceAndTheRoomLevel) {
  constexpr uint32_t kHalf = 4 * kRate + 10 * kBlock;  // 4.1 s: inside a burst, at a crest
  const auto voice = NoisyTone(kHalf + 2 * kRate, 0.01f);
  enum Mode { kContinuous, kTaken, kCold };
  auto run = [&](Mode mode, SideChainLog& first, SideChainLog& second) {
    auto a = MakeProcess(kId, 1, kRate);
    auto b = MakeProcess(kId, 1, kRate);
    const TechCallback ca{&Record, &first}, cb{&Record, &second};
    Channels x{std::vector<float>(voice.begin(), voice.begin() + kHalf)};
    Channels y{std::vector<float>(voice.begin() + kHalf, voice.end())};
    RunBlocks(*a, x, kBlock, &ca);
    if (mode == kTaken) {
      EXPECT_TRUE(b->TakeState(a.get()));
    }
    RunBlocks(mode == kContinuous ? *a : *b, y, kBlock, &cb);
    x[0].insert(x[0].end(), y[0].begin(), y[0].end());
    return x[0];
  };
  SideChainLog a1, a2, b1, b2, c1, c2;
  const auto continuous = run(kContinuous, a1, a2);
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
  // The noise model restarts from the replayed history: partly reduced in the first pause after
  // the switch (4.3 s; a cold start reduces almost nothing there), at full depth by the next.
  const double lag = static_cast<double>(kBlock) / kRate;
  auto reduction = [&](const std::vector<float>& out, double t) {
    return Db(Rms(out, t + lag, t + 0.15 + lag) / Rms(voice, t, t + 0.15));
  };
  EXPECT_LT(reduction(taken, 4.33), -3.0);
  EXPECT_LT(reduction(taken, 4.33), reduction(cold, 4.33) - 2.0);
  EXPECT_NEAR(reduction(taken, 4.83), reduction(continuous, 4.83), 1.0);
}

}  // namespace
