#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <numbers>
#include <vector>

#include "AllocationCounter.h"
#include "TechTestLibrary.h"

namespace {

using namespace techtest;

constexpr char kId[] = "QOR Clarix+";
constexpr uint32_t kRate = 48000;

// The render side of the pipe: every call fills the record with the room level it was given.
struct Room {
  float level = 0.0f;
  int calls = 0;
  uint32_t largest = 0;
  bool wellFormed = true;
};

void Receive(TechChannel* channel, uint32_t frames, void* context) {
  auto* room = static_cast<Room*>(context);
  ++room->calls;
  room->largest = std::max(room->largest, frames);
  room->wellFormed = room->wellFormed && channel != nullptr && channel->samples != nullptr &&
                     channel->role == kTechSideChainRole && channel->next == nullptr;
  if (channel != nullptr && channel->samples != nullptr) {
    std::fill_n(channel->samples, frames, room->level);
  }
}

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

struct Lift {
  double low;
  double presence;
};

Lift Measure(const Channels& in, const Channels& out, size_t from) {
  return {Db(AmplitudeAt(out[0], from, 300.0, kRate) / AmplitudeAt(in[0], from, 300.0, kRate)),
          Db(AmplitudeAt(out[0], from, 3000.0, kRate) / AmplitudeAt(in[0], from, 3000.0, kRate))};
}

TEST(QORTechClarix, QuietRoomOrNoSideChainLeavesTheSignalBitExact) {
  const Channels input = Programme(2 * kRate, 0.2f);
  Room quiet{0.001f};  // -60 dBFS, below the -50 dBFS threshold
  Room silent{0.0f};   // a pipe with nothing to say
  const TechCallback q{&Receive, &quiet}, s{&Receive, &silent};
  for (const TechCallback* callback : {static_cast<const TechCallback*>(nullptr), &q, &s}) {
    auto p = MakeProcess(kId, 2, kRate);
    Channels audio = input;
    RunBlocks(*p, audio, 480, callback);
    EXPECT_EQ(audio, input);
  }
  // Loud room, but switched off.
  auto p = MakeProcess(kId, 2, kRate);
  ASSERT_TRUE(p->SetControlString("CLARIX-Enable", "Off"));
  Room loud{0.0316f};
  const TechCallback l{&Receive, &loud};
  Channels audio = input;
  RunBlocks(*p, audio, 480, &l);
  EXPECT_EQ(audio, input);
}

TEST(QORTechClarix, LiftGrowsWithTheRoomLevelUpToTheSetAmounts) {
  const Channels input = Programme(3 * kRate, 0.05f);
  auto lift = [&](float level) {
    auto p = MakeProcess(kId, 2, kRate);
    Room room{level};
    const TechCallback callback{&Receive, &room};
    Channels audio = input;
    RunBlocks(*p, audio, 480, &callback);
    return Measure(input, audio, 2 * kRate);
  };
  const Lift half = lift(0.01f);    // -40 dBFS: halfway from threshold to full effect
  const Lift full = lift(0.0316f);  // -30 dBFS: full effect
  const Lift beyond = lift(0.3f);   // louder still: no more than full
  EXPECT_NEAR(full.low, 6.0, 0.3);
  EXPECT_NEAR(full.presence, 12.0, 0.5);
  EXPECT_NEAR(half.low, 3.0, 0.3);
  EXPECT_NEAR(half.presence, 6.0, 0.5);
  EXPECT_NEAR(beyond.presence, full.presence, 0.1);
}

TEST(QORTechClarix, AsksForTheSideChainOncePerChunkOfTheCall) {
  auto p = MakeProcess(kId, 1, kRate);
  Room room{0.01f};
  const TechCallback callback{&Receive, &room};
  Channels audio{std::vector<float>(1200, 0.1f)};
  RunBlocks(*p, audio, 0, &callback);  // 512 + 512 + 176
  EXPECT_EQ(room.calls, 3);
  EXPECT_EQ(room.largest, 512u);
  EXPECT_TRUE(room.wellFormed);
  RunBlocks(*p, audio, 480, &callback);
  EXPECT_EQ(room.calls, 6);
}

TEST(QORTechClarix, LevelLiftStopsBelowFullScaleAndNeverLowers) {
  Channels input(1, std::vector<float>(2 * kRate));
  for (uint32_t i = 0; i < input[0].size(); ++i) {
    input[0][i] = 0.8f * static_cast<float>(std::sin(2.0 * std::numbers::pi * 200.0 * i / kRate));
  }
  auto p = MakeProcess(kId, 1, kRate);
  ASSERT_TRUE(p->SetControlInt("CLARIX-Presence Boost", 0));
  Room room{0.1f};
  const TechCallback callback{&Receive, &room};
  Channels audio = input;
  RunBlocks(*p, audio, 480, &callback);
  EXPECT_LE(MaxAbs(audio[0]), 0.8913f);
  EXPECT_GE(MaxAbs(audio[0], kRate), 0.8f * 0.999f);
  // A hot signal with no room to lift stays as it is.
  Channels hot(1, std::vector<float>(kRate, 0.95f));
  auto q = MakeProcess(kId, 1, kRate);
  ASSERT_TRUE(q->SetControlInt("CLARIX-Presence Boost", 0));
  RunBlocks(*q, hot, 480, &callback);
  EXPECT_NEAR(hot[0].back(), 0.95f, 1e-6f);
}

TEST(QORTechClarix, FollowsTheRoomBothWaysWithoutSteps) {
  auto p = MakeProcess(kId, 2, kRate);
  Room room{0.0316f};
  const TechCallback callback{&Receive, &room};
  Channels loud = Programme(2 * kRate, 0.05f);
  RunBlocks(*p, loud, 480, &callback);
  room.level = 0.0f;  // the room falls silent
  const Channels input = Programme(10 * kRate, 0.05f);
  Channels audio = input;
  RunBlocks(*p, audio, 480, &callback);
  const float own = MaxStep(input[0], 0, input[0].size());
  EXPECT_LE(MaxStep(audio[0], 1, kRate), own * 4.0f);  // lifted by up to 4x, no extra step
  const std::vector<float> early(audio[0].begin(), audio[0].begin() + kRate / 2);
  EXPECT_GT(AmplitudeAt(early, 0, 300.0, kRate), 0.05 * 1.5);  // still lifted half a second on
  // Released and back to neutral: bit exact again.
  EXPECT_TRUE(
      std::equal(audio[0].begin() + 8 * kRate, audio[0].end(), input[0].begin() + 8 * kRate));
}

TEST(QORTechClarix, RealTimePathNeverAllocatesAndDecaysCleanly) {
  for (uint32_t rate : {8000u, 192000u}) {
    auto p = MakeProcess(kId, 2, rate);
    Room room{0.1f};
    const TechCallback callback{&Receive, &room};
    auto audio = Sine(2, rate, 37.0, rate, 1.0f);
    audio[0].resize(rate * 4, 0.0f);
    audio[1].resize(rate * 4, 0.0f);
    qortest::AllocationScope scope;
    RunBlocks(*p, audio, 256, &callback);
    ASSERT_TRUE(p->SetControlInt("CLARIX-Level Boost", 1200));
    RunBlocks(*p, audio, 0, &callback);
    EXPECT_EQ(scope.Count(), 0u);
    for (const auto& ch : audio) {
      for (float s : ch) {
        ASSERT_TRUE(std::isfinite(s));
        ASSERT_NE(std::fpclassify(s), FP_SUBNORMAL);
      }
    }
    EXPECT_LT(MaxAbs(audio[0], rate * 3), 1e-6f);
  }
}

TEST(QORTechClarix, TakeStateContinuesTheLiftWithoutAClick) {
  constexpr uint32_t kHalf = 2 * kRate;
  const Channels input = Programme(2 * kHalf, 0.05f);
  auto run = [&](bool take) {
    auto a = MakeProcess(kId, 2, kRate);
    auto b = MakeProcess(kId, 2, kRate);
    EXPECT_TRUE(b->SetControlInt("CLARIX-Presence Boost", 300));
    Room room{0.0316f};
    const TechCallback callback{&Receive, &room};
    Channels x{std::vector<float>(input[0].begin(), input[0].begin() + kHalf),
               std::vector<float>(input[1].begin(), input[1].begin() + kHalf)};
    Channels y{std::vector<float>(input[0].begin() + kHalf, input[0].end()),
               std::vector<float>(input[1].begin() + kHalf, input[1].end())};
    RunBlocks(*a, x, 480, &callback);
    if (take) {
      EXPECT_TRUE(b->TakeState(a.get()));
    }
    RunBlocks(*b, y, 480, &callback);
    x[0].insert(x[0].end(), y[0].begin(), y[0].end());
    return x[0];
  };
  const auto taken = run(true);
  const float own = MaxStep(taken, kHalf - 9600, kHalf - 1);
  EXPECT_LE(MaxStep(taken, kHalf - 1, kHalf + 480), own * 1.02f);
  const auto cold = run(false);
  EXPECT_GT(MaxStep(cold, kHalf - 1, kHalf + 480), own * 1.5f);
}

TEST(QORTechClarix, BothSideChainProcessesKeepTheContract) {
  for (const char* id : {"QOR AEC/NR", "QOR Clarix+"}) {
    auto p = MakeProcess(id, 1, 48000);
    ASSERT_TRUE(p) << id;
    EXPECT_TRUE(p->Init(12, 192000)) << id;
    EXPECT_TRUE(p->Init(1, 8000)) << id;
    EXPECT_FALSE(p->Init(13, 48000)) << id;
    EXPECT_FALSE(p->Init(2, 7999)) << id;
    const TechControlDesc* descs = nullptr;
    const int32_t count = p->GetControlInfo(&descs);
    ASSERT_EQ(count, 4) << id;
    for (int32_t i = 0; i < count; ++i) {
      int32_t value = 0;
      ASSERT_TRUE(p->GetControlInt(descs[i].name, &value)) << descs[i].name;
      EXPECT_GE(value, descs[i].minimum);
      EXPECT_LE(value, descs[i].maximum);
      EXPECT_FALSE(p->SetControlInt(descs[i].name, descs[i].maximum + 1)) << descs[i].name;
      EXPECT_EQ(descs[i].scale, descs[i].type == kTechControlHundredths ? 100.0f : 1.0f);
    }
    auto other = MakeProcess(id, 2, 48000);
    EXPECT_FALSE(p->TakeState(other.get())) << id;  // other format
  }
  auto aec = MakeProcess("QOR AEC/NR", 1, 48000);
  auto clarix = MakeProcess("QOR Clarix+", 1, 48000);
  EXPECT_FALSE(aec->TakeState(clarix.get()));
  EXPECT_FALSE(clarix->TakeState(aec.get()));
}

}  // namespace
