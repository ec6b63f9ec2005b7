#include "audio/QORAudioProcessResampleChain.h"

#include <gtest/gtest.h>

#include <tuple>

#include "AudioTestSupport.h"
#include "audio/QORResampleHandler.h"

namespace {

using Rates = std::pair<uint32_t, uint32_t>;  // endpoint, internal

TEST(QORAudioProcessResampleChain, EveryPeriodLeavesWithItsOwnFrameCount) {
  for (const auto& [endpoint, internal] :
       {Rates{44100, 48000}, Rates{48000, 44100}, Rates{96000, 48000}, Rates{22050, 32000},
        Rates{48000, 16000}, Rates{16000, 48000}}) {
    for (uint32_t period : {441u, 480u, 1000u}) {
      SCOPED_TRACE(testing::Message() << endpoint << "->" << internal << ", " << period);
      // Each channel at its own level, so that a FIFO that lost its frame alignment would show;
      // converted periods whose fractions did not carry would drain or swell the FIFO.
      for (uint32_t channels : {1u, 2u, 6u, 8u}) {
        QORAudioProcessResampleChain chain;
        chain.SetInternalRate(internal);
        ASSERT_TRUE(chain.Init(channels, endpoint));
        const uint32_t periods = endpoint / period / 4 + 4;  // a quarter second and more
        const auto out =
            qortest::Stream(chain, channels, endpoint, std::vector<uint32_t>(periods, period),
                            [](uint32_t, uint32_t c) { return 0.1f * (c + 1); });
        EXPECT_EQ(chain.GetUnderflowCount(), 0u);
        EXPECT_LE(chain.GetQueuedFrames(), 2 * QORAudioProcessResampleChain::kLeadFrames);
        const size_t last = out.size() - size_t{period} * channels;
        for (uint32_t c = 0; c < channels; ++c) {
          ASSERT_NEAR(out[last + c], 0.1f * (c + 1), 1e-3) << channels << " channels, ch " << c;
          ASSERT_NEAR(out[out.size() - channels + c], 0.1f * (c + 1), 1e-3)
              << channels << ", " << c;
        }
      }
    }
  }
  // Long periods do not wrap the ideal count.
  EXPECT_EQ(QORResampleHandler::ExpectedFrames(4000000, 192000, 48000), 1000000u);
  EXPECT_EQ(QORResampleHandler::ExpectedFrames(100000, 48000, 44100), 91875u);
}

TEST(QORAudioProcessResampleChain, ReInitKeepsOneLeadAndPeriodsKeepRolesOrPassWhenForeign) {
  QORAudioProcessResampleChain chain;
  chain.SetInternalRate(44100);
  ASSERT_TRUE(chain.Init(2, 48000));
  ASSERT_TRUE(chain.Init(2, 48000));
  EXPECT_EQ(chain.GetQueuedFrames(), QORAudioProcessResampleChain::kLeadFrames);
  QORAudioDataFloat data;
  data.Init(480, 2, 48000);
  data.SetChannelMapEntry(1, kQORChannelRoleSideChain);
  chain.Process(data);
  EXPECT_EQ(data.GetChannelMapEntry(1), kQORChannelRoleSideChain);
  // A period of another width or rate than Init's passes unchanged.
  const std::vector<float> input = qortest::Ramp(6);
  for (const auto& [frames, channels, rate] :
       {std::tuple{2u, 3u, 48000u}, std::tuple{3u, 2u, 44100u}}) {
    data.Assign(input.data(), frames, channels, true, rate);
    chain.Process(data);
    EXPECT_EQ(qortest::Samples(data), input) << channels << " channels at " << rate;
  }
}

}  // namespace
