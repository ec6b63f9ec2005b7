// Properties every process of the library keeps on the real-time path.
#include <random>

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
    {"QOR Parametric EQ",
     "PEQ-Band 1 Type=1,PEQ-Band 1 Gain=600,PEQ-Band 2 Type=4,PEQ-Band 2 Frequency=800000,"
     "PEQ-Band 3 Type=2,PEQ-Band 3 Gain=-400,PEQ-Band 3 Channel=2,PEQ-Preamp=-300",
     "PEQ-Band 2 Type=6,PEQ-Band 3 Channel=1,PEQ-Preamp=-600"},
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

// However a host cuts the stream into calls, the output is the same: what a process decides once
// per block of frames falls on the same samples. Both runs share their first 100 ms and a
// retuning there, so the glides after it are compared too. Music-like input: tones whose level
// jumps by 20 dB every 250 ms, which keeps the loudness and bass stages moving.
TEST(QORTechRealTime, OutputDoesNotDependOnHowCallsAreCut) {
  constexpr uint32_t kRate = 48000;
  constexpr uint32_t kFrames = kRate * 2;
  constexpr uint32_t kShared = kRate / 10;
  Channels input(2, std::vector<float>(kFrames));
  for (uint32_t i = 0; i < kFrames; ++i) {
    const double t = static_cast<double>(i) / kRate;
    const double level = (i / (kRate / 4)) % 2 == 0 ? 0.5 : 0.05;
    input[0][i] = static_cast<float>(level * (0.6 * std::sin(2 * std::numbers::pi * 55 * t) +
                                              0.4 * std::sin(2 * std::numbers::pi * 1234 * t)));
    input[1][i] = static_cast<float>(level * std::sin(2 * std::numbers::pi * 440 * t));
  }
  for (const auto& c : kCases) {
    if (std::string(c.techId) == "QOR AEC/NR") continue;  // takes fixed blocks only
    SCOPED_TRACE(c.techId);
    Channels outputs[2] = {input, input};
    for (int run = 0; run < 2; ++run) {
      auto p = MakeProcess(c.techId, 2, kRate, c.on);
      ASSERT_NE(p, nullptr);
      SideChain side{c.room};
      Channels& audio = outputs[run];
      Channels head = {std::vector<float>(audio[0].begin(), audio[0].begin() + kShared),
                       std::vector<float>(audio[1].begin(), audio[1].begin() + kShared)};
      RunBlocks(*p, head, 480, &side.callback);
      for (const auto& s : Parse(c.changed)) ASSERT_TRUE(p->SetControlInt(s.name.c_str(), s.value));
      Channels rest = {std::vector<float>(audio[0].begin() + kShared, audio[0].end()),
                       std::vector<float>(audio[1].begin() + kShared, audio[1].end())};
      if (run == 0) {
        RunBlocks(*p, rest, 480, &side.callback);
      } else {
        std::mt19937 random(11);
        std::uniform_int_distribution<uint32_t> lengths(1, 1024);
        for (size_t done = 0; done < rest[0].size();) {
          const uint32_t n = std::min<uint32_t>(lengths(random), rest[0].size() - done);
          Channels piece = {std::vector<float>(rest[0].begin() + done, rest[0].begin() + done + n),
                            std::vector<float>(rest[1].begin() + done, rest[1].begin() + done + n)};
          RunBlocks(*p, piece, 0, &side.callback);
          for (int ch = 0; ch < 2; ++ch)
            std::copy(piece[ch].begin(), piece[ch].end(), rest[ch].begin() + done);
          done += n;
        }
      }
      for (int ch = 0; ch < 2; ++ch) {
        std::copy(head[ch].begin(), head[ch].end(), audio[ch].begin());
        std::copy(rest[ch].begin(), rest[ch].end(), audio[ch].begin() + kShared);
      }
    }
    const auto [peak, worst] = PeakAndWorst(outputs[0], outputs[1]);
    EXPECT_GT(peak, 0.01);
    EXPECT_LT(worst, 1e-6) << "largest difference, against a peak of " << peak;
  }
}

}  // namespace
