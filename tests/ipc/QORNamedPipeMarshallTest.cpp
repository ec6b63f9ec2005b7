#include "ipc/QORNamedPipeMarshall.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <numbers>
#include <vector>

#include "audio/QORAudioDataFloat.h"

namespace {

using Pipe = QORNamedPipeAudio;

// Hands the reader's pipe one message of these samples at that rate, as its thread would.
bool Deliver(QORNamedPipeMarshall& reader, const std::vector<float>& samples, uint32_t rate) {
  std::vector<unsigned char> message(Pipe::kMessageSize, 0);
  const uint32_t count = static_cast<uint32_t>(samples.size());
  std::memcpy(message.data(), &count, 4);
  std::memcpy(message.data() + 4, &rate, 4);
  std::memcpy(message.data() + 8, samples.data(), samples.size() * 4);
  return reader.GetPipe().AcceptMessage(message.data(), Pipe::kMessageSize);
}

// A period of frames x channels at rate with every sample set to fill, interleaved.
QORAudioDataFloat& Fill(QORAudioDataFloat& period, uint32_t frames, uint32_t channels,
                        uint32_t rate, float fill) {
  period.Init(frames, channels, rate);
  float* samples = period.GetSamples(true, true);
  std::fill(samples, samples + frames * channels, fill);
  return period;
}

TEST(QORNamedPipeMarshall, SameRateReadsFillChannelZeroAndSilenceWhatIsMissing) {
  QORNamedPipeMarshall marshall;
  marshall.Init(0, true);
  marshall.SetRunning(true);
  QORAudioDataFloat period;
  // No stream yet: silence on the side chain, not what the period carried.
  EXPECT_EQ(marshall.Read(Fill(period, 480, 2, 48000, 0.5f)), 0u);
  const float* planar = period.GetSamples(false, false);
  EXPECT_EQ(planar[0], 0.0f);
  EXPECT_EQ(planar[479], 0.0f);
  EXPECT_EQ(planar[480], 0.5f);

  std::vector<float> ramp(300);
  for (uint32_t i = 0; i < 300; ++i) ramp[i] = 1.0f + static_cast<float>(i);
  ASSERT_TRUE(Deliver(marshall, ramp, 48000));
  EXPECT_EQ(marshall.Read(Fill(period, 480, 2, 48000, 0.5f)), 300u);
  planar = period.GetSamples(false, false);
  EXPECT_EQ(planar[0], 1.0f);
  EXPECT_EQ(planar[299], 300.0f);
  EXPECT_EQ(planar[300], 0.0f);
  EXPECT_EQ(planar[479], 0.0f);
  EXPECT_EQ(planar[480], 0.5f);
  EXPECT_EQ(planar[959], 0.5f);
  EXPECT_EQ(period.GetChannelMapEntry(0), kQORChannelRoleSideChain);
  EXPECT_EQ(period.GetChannelMapEntry(1), 1u);
  EXPECT_EQ(marshall.GetOverrunCount(), 1u);

  // Not running, or the writer side: nothing is touched.
  marshall.SetRunning(false);
  EXPECT_EQ(marshall.Read(Fill(period, 480, 2, 48000, 0.5f)), 0u);
  EXPECT_EQ(period.GetSamples(false, false)[0], 0.5f);
}

TEST(QORNamedPipeMarshall, A16kStreamFillsEvery48kPeriodWholeAndIsCutBackWhenItRunsAhead) {
  QORNamedPipeMarshall marshall;
  marshall.Init(0, true);
  marshall.SetRunning(true);
  QORAudioDataFloat period;
  std::vector<float> tone(160);
  uint64_t n = 0;
  for (int p = 0; p < 100; ++p) {
    for (auto& sample : tone) {
      sample = 0.5f * static_cast<float>(std::sin(2.0 * std::numbers::pi * 1000.0 * n++ / 16000));
    }
    ASSERT_TRUE(Deliver(marshall, tone, 16000));
    const uint32_t before = marshall.GetPipe().GetRingAvailable();
    marshall.Read(Fill(period, 480, 1, 48000, 9.0f));
    // need = 480 * 16000 / 48000 = 160, plus the 5 spare samples.
    EXPECT_EQ(before - marshall.GetPipe().GetRingAvailable(), std::min(before, 165u));
    const float* out = period.GetSamples(false, false);
    for (uint32_t f = 0; f < 480; ++f) ASSERT_LE(std::fabs(out[f]), 0.6f) << p << " " << f;
  }
  EXPECT_EQ(marshall.GetPipe().GetRingAvailable(), 0u);
  // The stream stops: the FIFO runs dry into silence, one overrun per short period.
  const uint32_t overruns = marshall.GetOverrunCount();
  for (int p = 0; p < 5; ++p) marshall.Read(Fill(period, 480, 1, 48000, 9.0f));
  const float* out = period.GetSamples(false, false);
  for (uint32_t f = 0; f < 480; ++f) ASSERT_EQ(out[f], 0.0f) << f;
  EXPECT_GE(marshall.GetOverrunCount(), overruns + 4);

  // A stream arriving faster than played is cut back, not queued for ever.
  std::vector<float> samples(200, 0.25f);
  uint32_t largest = 0;
  for (int p = 0; p < 400; ++p) {
    Deliver(marshall, samples, 16000);
    largest = std::max(largest, marshall.Read(Fill(period, 480, 1, 48000, 0.0f)));
  }
  EXPECT_GT(marshall.GetFifoDropCount(), 0u);
  EXPECT_LE(largest, 2u * 480u + QORNamedPipeMarshall::kLeadSamples);
  EXPECT_GT(marshall.GetPipe().GetDroppedSamples(), 0u);  // the ring filled up as well
}

TEST(QORNamedPipeMarshall, TheWriterSendsTheFoldAtTheStreamRateAndLeavesThePeriodAlone) {
  QORNamedPipeMarshall marshall;
  marshall.Init(48000, false);
  marshall.SetRunning(true);
  QORAudioDataFloat period;
  period.Init(4, 2, 48000);
  const float stereo[] = {0.5f, 0.25f, -1.0f, 1.0f, 0.1f, 0.3f, 1.0f, 1.0f};
  std::memcpy(period.GetSamples(true, true), stereo, sizeof(stereo));
  marshall.Write(period);
  EXPECT_EQ(std::memcmp(period.GetSamples(false, true), stereo, sizeof(stereo)), 0);
  float ring[8];
  ASSERT_EQ(marshall.GetPipe().ReadRing(ring, 8), 4u);
  for (int f = 0; f < 4; ++f) {
    EXPECT_EQ(ring[f], (stereo[2 * f] + stereo[2 * f + 1]) * 0.707f) << f;
  }
  // 5.1: the front pair folds; mono passes as it is.
  period.Init(1, 6, 48000);
  const float six[] = {0.5f, 0.25f, 9.0f, 9.0f, 9.0f, 9.0f};
  std::memcpy(period.GetSamples(true, true), six, sizeof(six));
  marshall.Write(period);
  Fill(period, 1, 1, 48000, 0.125f);
  marshall.Write(period);
  ASSERT_EQ(marshall.GetPipe().ReadRing(ring, 8), 2u);
  EXPECT_EQ(ring[0], 0.75f * 0.707f);
  EXPECT_EQ(ring[1], 0.125f);
  // Not running: nothing is written.
  marshall.SetRunning(false);
  marshall.Write(period);
  EXPECT_EQ(marshall.GetPipe().GetRingAvailable(), 0u);

  // 48000 Hz periods reach a 16000 Hz stream converted.
  marshall.Init(16000, false);
  marshall.SetRunning(true);
  for (int p = 0; p < 10; ++p) marshall.Write(Fill(period, 480, 2, 48000, 0.0f));
  EXPECT_NEAR(static_cast<int>(marshall.GetPipe().GetRingAvailable()), 1600, 10);
}

}  // namespace
