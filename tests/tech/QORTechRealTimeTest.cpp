// Properties every process of the library must keep on the real-time path.
#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <utility>
#include <vector>

#include "AllocationCounter.h"
#include "TechTestLibrary.h"

namespace {

using namespace techtest;

struct Setting {
  const char* name;
  int32_t value;
};

struct Case {
  const char* techId;
  std::vector<Setting> on;       // makes the process do real work
  std::vector<Setting> changed;  // a different tuning for the switch
};

std::vector<Case> Cases() {
  return {
      {"ZR3D",
       {{"ZR3D-GEQ Enable", 1},
        {"ZR3D-GEQ Band 3", 900},
        {"ZR3D-GEQ Band 8", -600},
        {"ZR3D-AmploHD Enable", 1},
        {"ZR3D-GravHD Boost Enable", 1},
        {"ZR3D-Stereo Width", 150}},
       {{"ZR3D-GEQ Band 3", 300}, {"ZR3D-Stereo Width", 80}}},
      {"QOR Speaker Protection",
       {{"SP-High-Pass Frequency", 150}},
       {{"SP-High-Pass Frequency", 300}}},
      {"NUV", {{"NUV-Process Enable", 1}}, {{"NUV-Crossfeed Level", -300}}},
      {"LUXSND",
       {{"LUXSND-GEQ Enable", 1},
        {"LUXSND-PEQ Band 2 Type", 1},
        {"LUXSND-PEQ Band 2 Gain", 800},
        {"LUXSND-GravHD Boost Enable", 1}},
       {{"LUXSND-PEQ Band 2 Gain", 400}}},
  };
}

void Apply(TechProcess& p, const std::vector<Setting>& settings) {
  for (const auto& s : settings) ASSERT_TRUE(p.SetControlInt(s.name, s.value)) << s.name;
}

TEST(QORTechRealTime, ProcessNeverAllocatesOnceInitialised) {
  {
    // The counter sees the library's own allocations, so a zero below means something.
    qortest::AllocationScope scope;
    auto p = MakeProcess("ZR3D", 2, 48000);
    EXPECT_GT(scope.Count(), 0u);
  }
  for (const auto& c : Cases()) {
    auto p = MakeProcess(c.techId, 6, 48000);
    Apply(*p, c.on);
    auto audio = Sine(6, 48000, 997.0, 48000.0, 0.9f);
    qortest::AllocationScope scope;
    RunBlocks(*p, audio, 480);
    Apply(*p, c.changed);
    RunBlocks(*p, audio, 0);
    EXPECT_EQ(scope.Count(), 0u) << c.techId;
  }
}

TEST(QORTechRealTime, SilenceAfterLoudInputDecaysWithoutDenormalsOrNaN) {
  for (const auto& c : Cases()) {
    for (uint32_t rate : {8000u, 192000u}) {
      auto p = MakeProcess(c.techId, 2, rate);
      Apply(*p, c.on);
      auto audio = Sine(2, rate, 37.0, rate, 1.0f);
      audio[0].resize(rate * 4, 0.0f);
      audio[1].resize(rate * 4, 0.0f);
      RunBlocks(*p, audio, 256);
      for (const auto& ch : audio) {
        for (float s : ch) {
          ASSERT_TRUE(std::isfinite(s)) << c.techId;
          ASSERT_NE(std::fpclassify(s), FP_SUBNORMAL) << c.techId;
        }
      }
      EXPECT_LT(MaxAbs(audio[0], rate * 3), 1e-6f) << c.techId;  // and it does decay
    }
  }
}

// Runs the first half of a sine through one process and the rest through another that may have
// taken the first one's state; returns the largest step across the switch and the signal's own.
std::pair<float, float> SwitchSteps(const Case& c, bool takeState) {
  constexpr uint32_t kHalf = 24000;
  auto a = MakeProcess(c.techId, 2, 48000);
  auto b = MakeProcess(c.techId, 2, 48000);
  Apply(*a, c.on);
  Apply(*b, c.on);
  Apply(*b, c.changed);
  auto audio = Sine(2, 2 * kHalf, 220.0, 48000.0, 0.5f);
  Channels first{std::vector<float>(audio[0].begin(), audio[0].begin() + kHalf),
                 std::vector<float>(audio[1].begin(), audio[1].begin() + kHalf)};
  Channels second{std::vector<float>(audio[0].begin() + kHalf, audio[0].end()),
                  std::vector<float>(audio[1].begin() + kHalf, audio[1].end())};
  RunBlocks(*a, first, 480);
  if (takeState) {
    EXPECT_TRUE(b->TakeState(a.get()));
  }
  RunBlocks(*b, second, 480);
  std::vector<float> joined = first[0];
  joined.insert(joined.end(), second[0].begin(), second[0].end());
  const float own =
      std::max(MaxStep(joined, kHalf - 4800, kHalf - 1), MaxStep(joined, kHalf + 9600, 2 * kHalf));
  return {MaxStep(joined, kHalf - 1, kHalf + 480), own};
}

TEST(QORTechRealTime, TakeStateContinuesWithoutAClick) {
  for (const auto& c : Cases()) {
    const auto [atSwitch, own] = SwitchSteps(c, true);
    EXPECT_LE(atSwitch, own * 1.02f) << c.techId;
    // A cold start at the same point does click, so the check above can tell.
    const auto [cold, ownCold] = SwitchSteps(c, false);
    EXPECT_GT(cold, ownCold * 1.5f) << c.techId;
  }
}

}  // namespace
