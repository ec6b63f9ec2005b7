#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "BurstDelay.h"
#include "TechTestLibrary.h"

namespace {

using techtest::Channels;
using techtest::MakeProcess;
using techtest::RunBlocks;
using techtest::Setting;

// Noise of amplitude 0.1 from a fixed seed.
std::vector<float> Noise(size_t frames, uint32_t seed) {
  std::vector<float> v(frames);
  for (float& x : v) {
    seed = seed * 1664525u + 1013904223u;
    x = 0.1f * (static_cast<float>(seed >> 8) / 8388608.0f - 1.0f);
  }
  return v;
}

// A chain pads every process to the common latency by what the process declares: a process that
// delays by anything else would shift in time at every switch. Measured with every effect on.
TEST(QORTechLatency, EveryProcessDelaysByExactlyWhatItDeclaresAtEveryRate) {
  struct Case {
    const char* id;
    uint32_t channels;
    std::vector<Setting> settings;
  };
  const Case cases[] = {
      {"ZR3D",
       2,
       {{"ZR3D-GEQ Enable", 1},
        {"ZR3D-GEQ Band 4", 300},
        {"ZR3D-AmploHD Enable", 1},
        {"ZR3D-GravHD Boost Enable", 1},
        {"ZR3D-Limiter Enable", 1}}},
      {"LUXSND",
       2,
       {{"LUXSND-GEQ Enable", 1},
        {"LUXSND-PEQ Band 2 Type", 1},
        {"LUXSND-PEQ Band 2 Gain", 600},
        {"LUXSND-Limiter Enable", 1}}},
      {"QOR Speaker Protection", 2, {{"SP-Enable", 1}}},
      {"NUV", 2, {{"NUV-Process Enable", 1}}},
      {"QOR Clarix+", 2, {{"CLARIX-Enable", 1}}},
      {"QOR AEC/NR", 1, {{"AECNR-NR Enable", 1}}},
      {"QOR Passthrough", 2, {}},
  };
  for (uint32_t rate : {16000u, 44100u, 48000u, 96000u}) {
    for (const Case& c : cases) {
      SCOPED_TRACE(testing::Message() << c.id << " at " << rate);
      auto p = MakeProcess(c.id, c.channels, rate, c.settings);
      ASSERT_NE(p, nullptr);
      const long declared = static_cast<long>(p->GetLatency());
      const size_t at = rate / 2;
      const size_t length = 4096;
      std::vector<float> signal(at + length + declared + rate / 10, 0.0f);
      const auto burst = Noise(length, rate);
      std::copy(burst.begin(), burst.end(), signal.begin() + at);
      Channels audio(c.channels, signal);
      // Whole blocks where the process has them (the echo canceller's 10 ms).
      const uint32_t block = p->GetBlockSize() != 0 ? p->GetBlockSize() : rate / 100;
      audio[0].resize(audio[0].size() / block * block);
      for (auto& channel : audio) channel.resize(audio[0].size());
      RunBlocks(*p, audio, block);
      EXPECT_NEAR(qortest::BurstDelay(signal, audio[0], at, length, declared + rate / 50), declared,
                  1);
    }
  }
}

}  // namespace
