#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>

#include "AllocationCounter.h"
#include "TechTestLibrary.h"

namespace {

using namespace techtest;

TEST(QORTechPassthrough, CopiesEverySampleBitExactForEveryChannelCount) {
  for (uint32_t channels : {1u, 2u, 6u, 12u}) {
    auto p = MakeProcess("QOR Passthrough", channels, 48000);
    ASSERT_TRUE(p);
    EXPECT_EQ(p->GetBlockSize(), 0u);
    EXPECT_EQ(p->GetLatency(), 0u);
    Channels audio(channels, std::vector<float>(1000));
    uint32_t seed = 1;
    for (auto& ch : audio) {
      for (float& s : ch) {
        seed = seed * 1664525u + 1013904223u;
        s = static_cast<float>(static_cast<int32_t>(seed)) / 2147483648.0f;
      }
    }
    audio[0][1] = std::numeric_limits<float>::denorm_min();
    audio[0][2] = -0.0f;
    const Channels input = audio;
    RunBlocks(*p, audio, 333);
    for (uint32_t c = 0; c < channels; ++c) {
      ASSERT_EQ(0, std::memcmp(audio[c].data(), input[c].data(), input[c].size() * sizeof(float)));
    }
  }
}

TEST(QORTechPassthrough, NonFiniteInputBecomesSilenceInsteadOfReachingTheOutput) {
  auto p = MakeProcess("QOR Passthrough", 1, 48000);
  Channels audio{{0.5f, std::numeric_limits<float>::quiet_NaN(),
                  std::numeric_limits<float>::infinity(), -0.25f}};
  RunBlocks(*p, audio, 0);
  EXPECT_EQ(audio[0], (std::vector<float>{0.5f, 0.0f, 0.0f, -0.25f}));
}

}  // namespace
