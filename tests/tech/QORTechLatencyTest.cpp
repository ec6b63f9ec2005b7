#include "BurstDelay.h"
#include "TechTestLibrary.h"

namespace {

using namespace techtest;

// A chain pads every process to the common latency by what the process declares: a process that
// delays by anything else would shift in time at every switch. Measured with every effect on.
TEST(QORTechLatency, EveryProcessDelaysByExactlyWhatItDeclaresAtEveryRate) {
  const struct {
    const char* id;
    uint32_t channels;
    const char* settings;
  } cases[] = {
      {"ZR3D", 2,
       "ZR3D-GEQ Enable=1,ZR3D-GEQ Band 4=300,ZR3D-AmploHD Enable=1,ZR3D-GravHD Boost Enable=1,"
       "ZR3D-Limiter Enable=1"},
      {"LUXSND", 2,
       "LUXSND-GEQ Enable=1,LUXSND-PEQ Band 2 Type=1,LUXSND-PEQ Band 2 Gain=600,"
       "LUXSND-Limiter Enable=1"},
      {"QOR Speaker Protection", 2, "SP-Enable=1"},
      {"NUV", 2, "NUV-Process Enable=1"},
      {"QOR Clarix+", 2, "CLARIX-Enable=1"},
      {"QOR AEC/NR", 1, "AECNR-NR Enable=1"},
      {"QOR Passthrough", 2, ""},
  };
  for (uint32_t rate : {16000u, 44100u, 48000u, 96000u}) {
    for (const auto& c : cases) {
      SCOPED_TRACE(testing::Message() << c.id << " at " << rate);
      auto p = MakeProcess(c.id, c.channels, rate, c.settings);
      ASSERT_NE(p, nullptr);
      const long declared = static_cast<long>(p->GetLatency());
      // A burst of noise of amplitude 0.1 from a fixed seed, half a second in; whole blocks where
      // the process has them (the echo canceller's 10 ms).
      const size_t at = rate / 2, length = 4096;
      const uint32_t block = p->GetBlockSize() != 0 ? p->GetBlockSize() : rate / 100;
      std::vector<float> signal((at + length + declared + rate / 10) / block * block, 0.0f);
      for (uint32_t i = 0, seed = rate; i < length; ++i) {
        seed = seed * 1664525u + 1013904223u;
        signal[at + i] = 0.1f * (static_cast<float>(seed >> 8) / 8388608.0f - 1.0f);
      }
      Channels audio(c.channels, signal);
      RunBlocks(*p, audio, block);
      EXPECT_NEAR(qortest::BurstDelay(signal, audio[0], at, length, declared + rate / 50), declared,
                  1);
    }
  }
}

}  // namespace
