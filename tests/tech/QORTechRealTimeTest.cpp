// Properties every process of the library keeps on the real-time path.
#include <utility>

#include "AllocationCounter.h"
#include "TechTestLibrary.h"

namespace {

using namespace techtest;

const struct Case {
  const char* techId;
  std::vector<Setting> on;       // makes the process do real work
  std::vector<Setting> changed;  // a different tuning for the hand-over
  float room = -1.0f;            // level a receiving process is given
} kCases[] = {
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
    {"QOR AEC/NR", {}, {{"AECNR-AEC Enable", 0}, {"AECNR-NR Level", -3000}}},
    {"QOR Clarix+", {}, {{"CLARIX-Presence Boost", 300}, {"CLARIX-Level Boost", 1200}}, 0.1f},
};

// Blocks of 10 ms suit every process, the echo canceller's fixed blocks included. Loud input
// then silence must neither allocate nor leave denormals or NaN, and the silence must decay.
TEST(QORTechRealTime, ProcessNeverAllocatesAndSilenceDecaysCleanly) {
  {
    // The counter sees the library's own allocations, so a zero below means something.
    qortest::AllocationScope scope;
    auto p = MakeProcess("ZR3D", 2, 48000);
    EXPECT_GT(scope.Count(), 0u);
  }
  for (const auto& c : kCases) {
    for (uint32_t rate : {8000u, 48000u, 192000u}) {
      SCOPED_TRACE(testing::Message() << c.techId << " at " << rate);
      auto p = MakeProcess(c.techId, 6, rate, c.on);
      SideChain side{c.room};
      auto audio = Sine(6, rate, 997.0, rate, 0.9f);
      qortest::AllocationScope scope;
      RunBlocks(*p, audio, rate / 100, side.Callback());
      for (const auto& s : c.changed) ASSERT_TRUE(p->SetControlInt(s.name, s.value));
      RunBlocks(*p, audio, rate / 100, side.Callback());
      RunBlocks(*p, audio, 0, side.Callback());  // one long call
      EXPECT_EQ(scope.Count(), 0u);
      if (rate == 48000) continue;
      auto decay = MakeProcess(c.techId, 2, rate, c.on);
      auto loud = Sine(2, rate, 37.0, rate, 1.0f);
      for (auto& ch : loud) ch.resize(rate * 4, 0.0f);
      RunBlocks(*decay, loud, rate / 100, side.Callback());
      EXPECT_TRUE(IsClean(loud));
      EXPECT_TRUE(IsClean({{side.last}}));
      EXPECT_LT(MaxAbs(loud[0], rate * 3), 1e-6f);
    }
  }
}

// Runs the first half of a sine through one process and the rest through another that may have
// taken the first one's state; returns the largest step across the switch and the signal's own.
// The switch falls on a crest, where a gain that starts over would show.
std::pair<float, float> SwitchSteps(const Case& c, bool takeState) {
  constexpr uint32_t kHalf = 24055;
  auto a = MakeProcess(c.techId, 2, 48000, c.on), b = MakeProcess(c.techId, 2, 48000, c.on);
  for (const auto& s : c.changed) EXPECT_TRUE(b->SetControlInt(s.name, s.value));
  SideChain side{c.room};
  const auto audio = Sine(2, 2 * kHalf, 220.0, 48000.0, 0.5f);
  Channels first, second;
  for (const auto& ch : audio) {
    first.emplace_back(ch.begin(), ch.begin() + kHalf);
    second.emplace_back(ch.begin() + kHalf, ch.end());
  }
  RunBlocks(*a, first, 480, side.Callback());
  if (takeState) {
    EXPECT_TRUE(b->TakeState(a.get()));
  }
  RunBlocks(*b, second, 480, side.Callback());
  std::vector<float> joined = first[0];
  joined.insert(joined.end(), second[0].begin(), second[0].end());
  const float own =
      std::max(MaxStep(joined, kHalf - 4800, kHalf - 1), MaxStep(joined, kHalf + 9600, 2 * kHalf));
  return {MaxStep(joined, kHalf - 1, kHalf + 480), own};
}

// The echo canceller is left out: its models cannot be copied, only retrained.
TEST(QORTechRealTime, TakeStateContinuesWithoutAClick) {
  for (const auto& c : kCases) {
    if (std::string(c.techId) == "QOR AEC/NR") continue;
    SCOPED_TRACE(c.techId);
    const auto [atSwitch, own] = SwitchSteps(c, true);
    EXPECT_LE(atSwitch, own * 1.02f);
    // A cold start at the same point does click, so the check above can tell.
    const auto [cold, ownCold] = SwitchSteps(c, false);
    EXPECT_GT(cold, ownCold * 1.5f);
  }
}

}  // namespace
