// End-to-end: the timeline through the demonstration endpoint's positions, with and without
// digital silence between the sounds, and the delay that qorapo reports for it.
#include <random>
#include <regex>

#include "QORHostRunner.h"

namespace {

using qortest::HostAudio;
using qortest::HostResult;
using qortest::ReadHostAudio;
using qortest::WriteHostAudio;
using TimelineTest = qortest::HostToolTest;

using qortest::kRate;
constexpr size_t kClickStep = 1000;

using qortest::Latency;

// One second of stereo: a click of half scale every 1000 frames from frame 1000 on, over digital
// silence or over a floor of one 16-bit step of random sign (so no period is silent).
HostAudio ClickTrain(bool floor) {
  HostAudio audio{2, kRate, std::vector<float>(2 * kRate, 0.0f)};
  std::mt19937 random(7);
  for (size_t f = 0; f < static_cast<size_t>(kRate); ++f) {
    float x = floor ? ((random() & 1) != 0 ? 1.0f : -1.0f) / 32768.0f : 0.0f;
    if (f >= kClickStep && f % kClickStep == 0) x = 16000.0f / 32768.0f;
    audio.samples[2 * f] = audio.samples[2 * f + 1] = x;
  }
  return audio;
}

// Frames of channel 0 where a click peaks: above 0.2 and no smaller than either neighbour.
std::vector<size_t> Peaks(const HostAudio& audio) {
  std::vector<size_t> peaks;
  const auto at = [&](size_t f) { return std::fabs(audio.samples[f * audio.channels]); };
  for (size_t f = 1; f + 1 < audio.Frames(); ++f) {
    if (at(f) > 0.2f && at(f) >= at(f - 1) && at(f) >= at(f + 1)) peaks.push_back(f);
  }
  return peaks;
}

TEST_F(TimelineTest, ClicksOverSilenceComeOutLikeClicksOverANoiseFloorAtEveryPositionAndPeriod) {
  ASSERT_TRUE(WriteHostAudio(File("silence.wav"), ClickTrain(false)));
  ASSERT_TRUE(WriteHostAudio(File("floor.wav"), ClickTrain(true)));
  const size_t clicks = kRate / kClickStep - 1;
  for (const char* positions :
       {"SFX", "MFX", "EFX", "SFX,MFX", "SFX,EFX", "MFX,EFX", "SFX,MFX,EFX"}) {
    SCOPED_TRACE(positions);
    // The reference: no period goes in silent. Each click comes out once, at the reported delay.
    const HostResult reference =
        Run({"process", File("floor.wav"), File("floor-out.wav"), "--positions", positions});
    ASSERT_EQ(reference.code, 0) << reference.err;
    const long long latency = Latency(reference.out);
    ASSERT_GE(latency, 0) << reference.out;
    const std::vector<size_t> expected = Peaks(ReadHostAudio(File("floor-out.wav")));
    ASSERT_EQ(expected.size(), clicks) << reference.out;
    for (size_t i = 0; i < clicks; ++i) {
      EXPECT_NEAR(static_cast<double>(expected[i]),
                  static_cast<double>((i + 1) * kClickStep + latency), 1.0)
          << "click " << i;
    }
    for (const char* period : {"1", "3", "10", "20"}) {
      SCOPED_TRACE(std::string(period) + " ms periods");
      const HostResult run = Run({"process", File("silence.wav"), File("silence-out.wav"),
                                  "--positions", positions, "--period-ms", period});
      ASSERT_EQ(run.code, 0) << run.err;
      EXPECT_EQ(Latency(run.out), latency);
      const std::vector<size_t> got = Peaks(ReadHostAudio(File("silence-out.wav")));
      ASSERT_EQ(got.size(), expected.size());
      for (size_t i = 0; i < got.size(); ++i) {
        EXPECT_NEAR(static_cast<double>(got[i]), static_cast<double>(expected[i]), 1.0)
            << "click " << i;
      }
    }
  }
}

// The lag at which out's channel 0 best matches in's over [from, from + length).
long long BestLag(const HostAudio& in, const HostAudio& out, size_t from, size_t length,
                  long long maxLag) {
  long long best = -1;
  double bestValue = 0.0;
  for (long long lag = 0; lag <= maxLag; ++lag) {
    double sum = 0.0;
    for (size_t n = from; n < from + length && n + lag < out.Frames(); ++n) {
      sum += static_cast<double>(in.samples[2 * n]) * out.samples[2 * (n + lag)];
    }
    if (std::fabs(sum) > bestValue) {
      bestValue = std::fabs(sum);
      best = lag;
    }
  }
  return best;
}

TEST_F(TimelineTest, ReportedDelayIsTheMeasuredDelayOfThePathAndTheTailIsKept) {
  // A burst of noise between stretches of silence, through each position alone and all three:
  // the positions build different chains on one endpoint and one state root.
  HostAudio input{2, kRate, std::vector<float>(2 * 30011, 0.0f)};
  std::mt19937 random(11);
  std::uniform_real_distribution<float> noise(-0.3f, 0.3f);
  const size_t from = 4800, length = 4096;
  for (size_t f = from; f < from + length; ++f) {
    input.samples[2 * f] = input.samples[2 * f + 1] = noise(random);
  }
  ASSERT_TRUE(WriteHostAudio(File("burst.wav"), input));
  std::map<std::string, long long> latencies;
  for (const char* positions : {"SFX", "MFX", "EFX", "SFX,MFX,EFX"}) {
    SCOPED_TRACE(positions);
    const HostResult run =
        Run({"process", File("burst.wav"), File("burst-out.wav"), "--positions", positions});
    ASSERT_EQ(run.code, 0) << run.err;
    const long long latency = Latency(run.out);
    ASSERT_GE(latency, 0) << run.out;
    latencies[positions] = latency;
    const HostAudio output = ReadHostAudio(File("burst-out.wav"));
    EXPECT_EQ(output.Frames(), input.Frames() + static_cast<size_t>(latency));
    EXPECT_NEAR(static_cast<double>(BestLag(input, output, from, length, latency + 960)),
                static_cast<double>(latency), 1.0)
        << run.out;
  }
  EXPECT_EQ(latencies["SFX,MFX,EFX"], latencies["SFX"] + latencies["MFX"] + latencies["EFX"]);
}

}  // namespace
