#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <vector>

#include "AllocationCounter.h"
#include "audio/QORAudioDataFloat.h"
#include "audio/QORAudioProcessResampleChain.h"

namespace {

constexpr double kPi = 3.14159265358979323846;

// Scales every sample; works in planar form to make the buffers convert.
class GainProcess : public IQORAudioProcess<float> {
 public:
  explicit GainProcess(float gain, uint32_t latency = 0) : gain_(gain), latency_(latency) {}
  bool Init(uint32_t, uint32_t rate) override {
    rate_ = rate;
    return true;
  }
  void EnableBypass(bool) override {}
  bool IsBypassed() const override { return false; }
  uint32_t GetLatency() const override { return latency_; }
  void Process(IQORAudioData<float>& data) override {
    seenRate_ = data.GetSampleRate();
    float* s = data.GetSamples(true, false);
    for (uint32_t i = 0; s != nullptr && i < data.GetFrameCount() * data.GetChannelCount(); ++i) {
      s[i] *= gain_;
    }
  }
  uint32_t rate_ = 0;
  uint32_t seenRate_ = 0;

 private:
  float gain_;
  uint32_t latency_;
};

// Feeds a signal given per frame and channel through the chain period by period and collects
// the output, interleaved.
template <typename Signal>
std::vector<float> Stream(QORAudioProcessResampleChain& chain, uint32_t rate, uint32_t channels,
                          uint32_t period, uint32_t periods, Signal signal) {
  std::vector<float> output;
  QORAudioDataFloat data;
  for (uint32_t p = 0; p < periods; ++p) {
    data.Init(period, channels, rate);
    float* s = data.GetSamples(true, true);
    for (uint32_t f = 0; f < period; ++f) {
      for (uint32_t c = 0; c < channels; ++c) s[f * channels + c] = signal(p * period + f, c);
    }
    chain.Process(data);
    EXPECT_EQ(data.GetFrameCount(), period);
    EXPECT_EQ(data.GetChannelCount(), channels);
    const float* out = data.GetSamples(false, true);
    output.insert(output.end(), out, out + period * channels);
  }
  return output;
}

TEST(QORAudioProcessResampleChain, WithoutInternalRateRunsTheProcessesDirectly) {
  QORAudioProcessResampleChain chain;
  GainProcess gain(2.0f, 7);
  chain.AddProcess(&gain);
  ASSERT_TRUE(chain.Init(2, 44100));
  EXPECT_EQ(gain.rate_, 44100u);
  EXPECT_EQ(chain.GetLatency(), 7u);
  const auto out = Stream(chain, 44100, 2, 4, 1, [](uint32_t f, uint32_t) { return f + 1.0f; });
  EXPECT_EQ(out, std::vector<float>({2, 2, 4, 4, 6, 6, 8, 8}));
  EXPECT_FALSE(chain.GetDownHandler().HasMediaObject());
  chain.EnableBypass(true);
  EXPECT_EQ(Stream(chain, 44100, 2, 2, 1, [](uint32_t, uint32_t) { return 0.5f; }),
            std::vector<float>(4, 0.5f));
}

TEST(QORAudioProcessResampleChain, EqualRatesDelayByTheLeadOnly) {
  QORAudioProcessResampleChain chain;
  chain.SetInternalRate(48000);
  ASSERT_TRUE(chain.Init(2, 48000));
  ASSERT_TRUE(chain.Init(2, 48000));  // a second Init does not add a second lead
  EXPECT_EQ(chain.GetLatency(), 5u);
  const auto out = Stream(chain, 48000, 2, 8, 2,
                          [](uint32_t f, uint32_t c) { return f == 0 ? 1.0f + c : 0.0f; });
  for (uint32_t f = 0; f < 16; ++f) {
    EXPECT_EQ(out[f * 2], f == 5 ? 1.0f : 0.0f) << f;
    EXPECT_EQ(out[f * 2 + 1], f == 5 ? 2.0f : 0.0f) << f;
  }
  EXPECT_FALSE(chain.GetDownHandler().HasMediaObject());
  EXPECT_FALSE(chain.GetUpHandler().HasMediaObject());
  EXPECT_EQ(chain.GetUnderflowCount(), 0u);
}

struct RateCase {
  uint32_t endpoint;
  uint32_t internal;
};

// Each channel carries its own level, so a FIFO that lost its frame alignment would show.
TEST(QORAudioProcessResampleChain, EveryPeriodLeavesWithItsOwnFrameCount) {
  const RateCase rates[] = {{44100, 48000}, {48000, 44100}, {96000, 48000},
                            {22050, 32000}, {48000, 16000}, {16000, 48000}};
  for (const RateCase& rate : rates) {
    for (uint32_t period : {441u, 480u, 1000u}) {
      for (uint32_t channels : {1u, 2u, 6u, 8u}) {
        SCOPED_TRACE(testing::Message() << rate.endpoint << "->" << rate.internal << " period "
                                        << period << " channels " << channels);
        QORAudioProcessResampleChain chain;
        chain.SetInternalRate(rate.internal);
        ASSERT_TRUE(chain.Init(channels, rate.endpoint));
        const uint32_t periods = rate.endpoint / period / 4 + 4;  // a quarter second and more
        const auto out = Stream(chain, rate.endpoint, channels, period, periods,
                                [](uint32_t, uint32_t c) { return 0.1f * (c + 1); });
        EXPECT_EQ(chain.GetUnderflowCount(), 0u);
        EXPECT_LE(chain.GetQueuedFrames(), 2 * QORAudioProcessResampleChain::kLeadFrames);
        const size_t last = out.size() - static_cast<size_t>(period) * channels;
        for (uint32_t c = 0; c < channels; ++c) {
          ASSERT_NEAR(out[last + c], 0.1f * (c + 1), 1e-3) << "channel " << c;
          ASSERT_NEAR(out[out.size() - channels + c], 0.1f * (c + 1), 1e-3) << "channel " << c;
        }
      }
    }
  }
}

// Signal-to-noise ratio of a sine of known frequency: the least-squares sine (over whole cycles)
// is the signal, whatever remains is noise and distortion.
double SineSnrDb(const std::vector<float>& samples, size_t first, size_t count, uint32_t channels,
                 uint32_t channel, double frequency, double rate) {
  double sinSum = 0, cosSum = 0, mean = 0;
  for (size_t i = 0; i < count; ++i) {
    const double y = samples[(first + i) * channels + channel];
    const double phase = 2 * kPi * frequency * static_cast<double>(first + i) / rate;
    sinSum += y * std::sin(phase);
    cosSum += y * std::cos(phase);
    mean += y;
  }
  const double a = 2 * sinSum / count, b = 2 * cosSum / count;
  mean /= count;
  double noise = 0;
  for (size_t i = 0; i < count; ++i) {
    const double y = samples[(first + i) * channels + channel];
    const double phase = 2 * kPi * frequency * static_cast<double>(first + i) / rate;
    const double e = y - (a * std::sin(phase) + b * std::cos(phase) + mean);
    noise += e * e;
  }
  const double signal = (a * a + b * b) / 2;
  return 10 * std::log10(signal / (noise / count));
}

TEST(QORAudioProcessResampleChain, RoundTripKeepsASineClean) {
  QORAudioProcessResampleChain chain;
  chain.SetInternalRate(44100);
  ASSERT_TRUE(chain.Init(2, 48000));
  const auto out = Stream(chain, 48000, 2, 480, 100, [](uint32_t f, uint32_t c) {
    return static_cast<float>((c == 0 ? 0.5 : 0.25) * std::sin(2 * kPi * 1000.0 * f / 48000.0));
  });
  // Half a second after the start, 480 whole cycles.
  for (uint32_t c = 0; c < 2; ++c) {
    const double snr = SineSnrDb(out, 24000, 23040, 2, c, 1000.0, 48000.0);
    EXPECT_GT(snr, 90.0) << "channel " << c;
  }
}

TEST(QORAudioProcessResampleChain, ReportedLatencyMatchesTheMeasuredDelay) {
  for (const RateCase& rate : {RateCase{48000, 44100}, RateCase{44100, 48000},
                               RateCase{48000, 16000}, RateCase{22050, 32000}}) {
    QORAudioProcessResampleChain chain;
    chain.SetInternalRate(rate.internal);
    ASSERT_TRUE(chain.Init(1, rate.endpoint));
    // A click low enough in frequency to pass both converters: a raised-cosine pulse.
    const double width = 4.0 * rate.endpoint / std::min(rate.endpoint, rate.internal);
    const uint32_t at = 1000;
    const auto out = Stream(chain, rate.endpoint, 1, 480, 6, [&](uint32_t f, uint32_t) {
      const double x = (static_cast<double>(f) - at) / width;
      return std::fabs(x) < 1 ? static_cast<float>(0.5 + 0.5 * std::cos(kPi * x)) : 0.0f;
    });
    size_t peak = 0;
    for (size_t i = 0; i < out.size(); ++i) {
      if (out[i] > out[peak]) peak = i;
    }
    const int measured = static_cast<int>(peak) - static_cast<int>(at);
    EXPECT_NEAR(measured, static_cast<int>(chain.GetLatency()), 1)
        << rate.endpoint << "->" << rate.internal;
  }
}

TEST(QORAudioProcessResampleChain, ProcessLatenciesCountAtTheEndpointRate) {
  QORAudioProcessResampleChain chain;
  GainProcess process(1.0f, 960);  // 20 ms at the internal rate
  chain.AddProcess(&process);
  chain.SetInternalRate(48000);
  ASSERT_TRUE(chain.Init(2, 48000));
  EXPECT_EQ(chain.GetLatency(), 965u);
  chain.SetInternalRate(96000);
  ASSERT_TRUE(chain.Init(2, 48000));
  EXPECT_EQ(process.rate_, 96000u);
  Stream(chain, 48000, 2, 480, 1, [](uint32_t, uint32_t) { return 0.0f; });
  EXPECT_EQ(process.seenRate_, 96000u);
  const uint32_t converters = chain.GetLatency() - 480 - 5;
  chain.ClearProcesses();
  ASSERT_TRUE(chain.Init(2, 48000));
  EXPECT_EQ(chain.GetLatency(), converters + 5);
}

TEST(QORAudioProcessResampleChain, KeepsChannelRolesAndPassesForeignFormats) {
  QORAudioProcessResampleChain chain;
  chain.SetInternalRate(44100);
  ASSERT_TRUE(chain.Init(2, 48000));
  QORAudioDataFloat data;
  data.Init(480, 2, 48000);
  data.GetSamples(true, true);
  data.SetChannelMapEntry(1, kQORChannelRoleSideChain);
  chain.Process(data);
  EXPECT_EQ(data.GetChannelMapEntry(0), 0u);
  EXPECT_EQ(data.GetChannelMapEntry(1), kQORChannelRoleSideChain);

  // A period of another rate or width than Init's passes unchanged.
  const std::vector<float> input = {0.1f, 0.2f, 0.3f, 0.4f, 0.5f, 0.6f};
  data.Assign(input.data(), 2, 3, true, 48000);
  chain.Process(data);
  EXPECT_EQ(std::vector<float>(data.GetSamples(false, true), data.GetSamples(false, true) + 6),
            input);
  data.Assign(input.data(), 3, 2, true, 44100);
  chain.Process(data);
  EXPECT_EQ(std::vector<float>(data.GetSamples(false, true), data.GetSamples(false, true) + 6),
            input);
}

TEST(QORAudioProcessResampleChain, PeriodsAllocateNothingAfterInit) {
  for (uint32_t channels : {2u, 8u}) {
    for (const RateCase& rate : {RateCase{48000, 44100}, RateCase{44100, 48000}}) {
      QORAudioProcessResampleChain chain;
      GainProcess planar(1.0f);
      chain.AddProcess(&planar);
      chain.SetInternalRate(rate.internal);
      ASSERT_TRUE(chain.Init(channels, rate.endpoint));
      QORAudioDataFloat data;
      const uint32_t period = rate.endpoint / 100;
      // The caller's own buffer reaches its size first.
      data.Init(period, channels, rate.endpoint);
      data.GetSamples(true, false);
      data.GetSamples(false, true);
      qortest::AllocationScope allocations;
      for (int i = 0; i < 50; ++i) {
        data.Init(period, channels, rate.endpoint);
        data.GetSamples(true, true)[0] = 0.5f;
        chain.Process(data);
      }
      EXPECT_EQ(allocations.Count(), 0u) << channels << " channels, " << rate.endpoint;
    }
  }
}

}  // namespace
