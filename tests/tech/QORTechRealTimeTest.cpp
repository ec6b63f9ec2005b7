// Properties every process of the library keeps on the real-time path.
#include "AllocationCounter.h"
#include "TechTestLibrary.h"

namespace {

using namespace techtest;

const struct Case {
  const char* techId;
  const char* on;       // makes the process do real work
  const char* changed;  // a different tuning, set while running
  float room = -1.0f;   // level a receiving process is given
} kCases[] = {
    {"ZR3D",
     "ZR3D-GEQ Enable=1,ZR3D-GEQ Band 3=900,ZR3D-GEQ Band 8=-600,ZR3D-AmploHD Enable=1,"
     "ZR3D-GravHD Boost Enable=1,ZR3D-Stereo Width=150",
     "ZR3D-GEQ Band 3=300,ZR3D-Stereo Width=80"},
    {"QOR Speaker Protection", "SP-High-Pass Frequency=150", "SP-High-Pass Frequency=300"},
    {"NUV", "NUV-Process Enable=1", "NUV-Crossfeed Level=-300"},
    {"LUXSND",
     "LUXSND-GEQ Enable=1,LUXSND-PEQ Band 2 Type=1,LUXSND-PEQ Band 2 Gain=800,"
     "LUXSND-GravHD Boost Enable=1",
     "LUXSND-PEQ Band 2 Gain=400"},
    {"QOR AEC/NR", "", "AECNR-AEC Enable=0,AECNR-NR Level=-3000"},
    {"QOR Clarix+", "", "CLARIX-Presence Boost=300,CLARIX-Level Boost=1200", 0.1f},
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
      const std::vector<Setting> changed = Parse(c.changed);
      qortest::AllocationScope scope;
      RunBlocks(*p, audio, rate / 100, &side.callback);
      for (const auto& s : changed) ASSERT_TRUE(p->SetControlInt(s.name.c_str(), s.value));
      RunBlocks(*p, audio, rate / 100, &side.callback);
      RunBlocks(*p, audio, 0, &side.callback);  // one long call
      EXPECT_EQ(scope.Count(), 0u);
      if (rate == 48000) continue;
      auto decay = MakeProcess(c.techId, 2, rate, c.on);
      auto loud = Sine(2, rate, 37.0, rate, 1.0f);
      for (auto& ch : loud) ch.resize(rate * 4, 0.0f);
      RunBlocks(*decay, loud, rate / 100, &side.callback);
      EXPECT_TRUE(IsClean(loud));
      EXPECT_TRUE(IsClean({{side.last}}));
      EXPECT_LT(MaxAbs(loud[0], rate * 3), 1e-6f);
    }
  }
}

}  // namespace
