#include "audio/QORAudioProcessResampleChain.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <numbers>
#include <tuple>
#include <vector>

#include "AudioTestSupport.h"
#include "audio/QORAudioDataFloat.h"
#include "audio/QORResampleHandler.h"

namespace {

using qortest::Stream;
using Periods = std::vector<uint32_t>;

struct RateCase {
  uint32_t endpoint, internal;
};

TEST(QORAudioProcessResampleChain, EveryPeriodLeavesWithItsOwnFrameCount) {
  for (const RateCase& rate :
       {RateCase{44100, 48000}, RateCase{48000, 44100}, RateCase{96000, 48000},
        RateCase{22050, 32000}, RateCase{48000, 16000}, RateCase{16000, 48000}}) {
    for (uint32_t period : {441u, 480u, 1000u}) {
      SCOPED_TRACE(testing::Message() << rate.endpoint << "->" << rate.internal << ", " << period);
      // Converted, a period has the ideal frame count rounded either way; the fraction carries.
      QORResampleHandler handler;
      ASSERT_TRUE(handler.Setup(rate.endpoint, rate.internal, 2));
      QORAudioDataFloat source, converted;
      const double ideal = static_cast<double>(period) * rate.internal / rate.endpoint;
      double total = 0;
      for (int i = 1; i <= 20; ++i) {
        source.Init(period, 2, rate.endpoint);
        converted.Init(0, 2, rate.internal);
        ASSERT_TRUE(handler.Convert(source, converted));
        total += converted.GetFrameCount();
        EXPECT_LT(std::fabs(converted.GetFrameCount() - ideal), 1.0) << i;
        EXPECT_LT(std::fabs(total - i * ideal), 1.0) << i;
      }
      // Through the chain each channel at its own level, so that a FIFO that lost its frame
      // alignment would show.
      for (uint32_t channels : {1u, 2u, 6u, 8u}) {
        SCOPED_TRACE(testing::Message() << channels << " channels");
        QORAudioProcessResampleChain chain;
        chain.SetInternalRate(rate.internal);
        ASSERT_TRUE(chain.Init(channels, rate.endpoint));
        const uint32_t periods = rate.endpoint / period / 4 + 4;  // a quarter second and more
        const auto out = Stream(chain, channels, rate.endpoint, Periods(periods, period),
                                [](uint32_t, uint32_t c) { return 0.1f * (c + 1); });
        EXPECT_EQ(chain.GetUnderflowCount(), 0u);
        EXPECT_LE(chain.GetQueuedFrames(), 2 * QORAudioProcessResampleChain::kLeadFrames);
        const size_t last = out.size() - size_t{period} * channels;
        for (uint32_t c = 0; c < channels; ++c) {
          ASSERT_NEAR(out[last + c], 0.1f * (c + 1), 1e-3) << "channel " << c;
          ASSERT_NEAR(out[out.size() - channels + c], 0.1f * (c + 1), 1e-3) << "channel " << c;
        }
      }
    }
  }
  // Long periods do not wrap the ideal count.
  EXPECT_EQ(QORResampleHandler::ExpectedFrames(4000000, 192000, 48000), 1000000u);
  EXPECT_EQ(QORResampleHandler::ExpectedFrames(100000, 48000, 44100), 91875u);
}

TEST(QORAudioProcessResampleChain, ReportedLatencyMatchesTheMeasuredDelay) {
  for (const RateCase& rate : {RateCase{48000, 44100}, RateCase{44100, 48000},
                               RateCase{48000, 16000}, RateCase{22050, 32000}}) {
    QORAudioProcessResampleChain chain;
    chain.SetInternalRate(rate.internal);
    ASSERT_TRUE(chain.Init(1, rate.endpoint));
    // A click low enough in frequency to pass both converters: a raised-cosine pulse.
    const double width = 4.0 * rate.endpoint / std::min(rate.endpoint, rate.internal);
    const auto out = Stream(chain, 1, rate.endpoint, Periods(6, 480), [&](uint32_t f, uint32_t) {
      const double x = (static_cast<double>(f) - 1000) / width;
      return std::fabs(x) < 1 ? static_cast<float>(0.5 + 0.5 * std::cos(std::numbers::pi * x))
                              : 0.0f;
    });
    EXPECT_NEAR(std::max_element(out.begin(), out.end()) - out.begin() - 1000,
                static_cast<int>(chain.GetLatency()), 1)
        << rate.endpoint << "->" << rate.internal;
  }
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
