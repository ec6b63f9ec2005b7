#include "ipc/QORNamedPipeMarshall.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <cstring>
#include <numbers>
#include <thread>
#include <vector>

#include "AllocationCounter.h"
#include "TempStateRoot.h"
#include "audio/QORAudioDataFloat.h"

namespace {

using Pipe = QORNamedPipeAudio;

std::vector<unsigned char> Message(const std::vector<float>& samples, uint32_t rate) {
  std::vector<unsigned char> message(Pipe::kMessageSize, 0);
  const uint32_t count = static_cast<uint32_t>(samples.size());
  std::memcpy(message.data(), &count, 4);
  std::memcpy(message.data() + 4, &rate, 4);
  std::memcpy(message.data() + 8, samples.data(), samples.size() * 4);
  return message;
}

std::vector<float> Ramp(uint32_t count, float first) {
  std::vector<float> samples(count);
  for (uint32_t i = 0; i < count; ++i) samples[i] = first + static_cast<float>(i);
  return samples;
}

// A period of frames x channels at rate with every sample set to fill, interleaved.
void Fill(QORAudioDataFloat& period, uint32_t frames, uint32_t channels, uint32_t rate,
          float fill) {
  period.Init(frames, channels, rate);
  float* samples = period.GetSamples(true, true);
  std::fill(samples, samples + frames * channels, fill);
}

QORNamedPipeMarshall& Reader(QORNamedPipeMarshall& marshall) {
  marshall.Init(0, true);
  marshall.SetRunning(true);
  return marshall;
}

TEST(QORNamedPipeMarshall, SameRateReadsFillChannelZeroAndSilenceWhatIsMissing) {
  QORNamedPipeMarshall marshall;
  Reader(marshall);
  QORAudioDataFloat period;
  // No stream yet: silence on the side chain, not what the period carried.
  Fill(period, 480, 2, 48000, 0.5f);
  EXPECT_EQ(marshall.Read(period), 0u);
  const float* planar = period.GetSamples(false, false);
  EXPECT_EQ(planar[0], 0.0f);
  EXPECT_EQ(planar[479], 0.0f);
  EXPECT_EQ(planar[480], 0.5f);
  EXPECT_EQ(period.GetChannelMapEntry(0), kQORChannelRoleSideChain);

  ASSERT_TRUE(
      marshall.GetPipe().AcceptMessage(Message(Ramp(300, 1.0f), 48000).data(), Pipe::kMessageSize));
  Fill(period, 480, 2, 48000, 0.5f);
  EXPECT_EQ(marshall.Read(period), 300u);
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
  Fill(period, 480, 2, 48000, 0.5f);
  EXPECT_EQ(marshall.Read(period), 0u);
  EXPECT_EQ(period.GetSamples(false, false)[0], 0.5f);
}

TEST(QORNamedPipeMarshall, A16kStreamFillsEvery48kPeriodWhole) {
  QORNamedPipeMarshall marshall;
  Reader(marshall);
  QORAudioDataFloat period;
  std::vector<float> tone(160);
  uint64_t n = 0;
  uint32_t lastRingLevel = 0;
  for (int p = 0; p < 100; ++p) {
    for (auto& sample : tone) {
      sample = 0.5f * static_cast<float>(std::sin(2.0 * std::numbers::pi * 1000.0 * n++ / 16000));
    }
    ASSERT_TRUE(marshall.GetPipe().AcceptMessage(Message(tone, 16000).data(), Pipe::kMessageSize));
    const uint32_t before = marshall.GetPipe().GetRingAvailable();
    Fill(period, 480, 1, 48000, 9.0f);
    marshall.Read(period);
    EXPECT_EQ(period.GetFrameCount(), 480u);
    // need = 480 * 16000 / 48000 = 160, plus the 5 spare samples.
    EXPECT_EQ(before - marshall.GetPipe().GetRingAvailable(), std::min(before, 165u));
    lastRingLevel = marshall.GetPipe().GetRingAvailable();
    const float* out = period.GetSamples(false, false);
    for (uint32_t f = 0; f < 480; ++f) ASSERT_LE(std::fabs(out[f]), 0.6f) << p << " " << f;
  }
  EXPECT_EQ(lastRingLevel, 0u);
  // The stream stops: the FIFO runs dry into silence, one overrun per short period.
  const uint32_t overruns = marshall.GetOverrunCount();
  for (int p = 0; p < 5; ++p) {
    Fill(period, 480, 1, 48000, 9.0f);
    marshall.Read(period);
  }
  const float* out = period.GetSamples(false, false);
  for (uint32_t f = 0; f < 480; ++f) ASSERT_EQ(out[f], 0.0f) << f;
  EXPECT_GE(marshall.GetOverrunCount(), overruns + 4);
}

TEST(QORNamedPipeMarshall, TheWriterSendsTheFoldAndLeavesThePeriodAlone) {
  QORNamedPipeMarshall marshall;
  marshall.Init(48000, false);
  marshall.SetRunning(true);
  QORAudioDataFloat period;
  period.Init(4, 2, 48000);
  float* samples = period.GetSamples(true, true);
  const float stereo[] = {0.5f, 0.25f, -1.0f, 1.0f, 0.1f, 0.3f, 1.0f, 1.0f};
  std::memcpy(samples, stereo, sizeof(stereo));
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
  period.Init(1, 1, 48000);
  period.GetSamples(true, true)[0] = 0.125f;
  marshall.Write(period);
  ASSERT_EQ(marshall.GetPipe().ReadRing(ring, 8), 2u);
  EXPECT_EQ(ring[0], 0.75f * 0.707f);
  EXPECT_EQ(ring[1], 0.125f);
  // A reader marshall, or one not running, writes nothing.
  marshall.SetRunning(false);
  marshall.Write(period);
  EXPECT_EQ(marshall.GetPipe().GetRingAvailable(), 0u);
}

TEST(QORNamedPipeMarshall, TheWriterConvertsPeriodsToTheStreamRate) {
  QORNamedPipeMarshall marshall;
  marshall.Init(16000, false);
  marshall.SetRunning(true);
  QORAudioDataFloat period;
  for (int p = 0; p < 10; ++p) {
    Fill(period, 480, 2, 48000, 0.0f);
    marshall.Write(period);
  }
  const int available = static_cast<int>(marshall.GetPipe().GetRingAvailable());
  EXPECT_NEAR(available, 1600, 10);
}

TEST(QORNamedPipeMarshall, AStreamArrivingFasterThanPlayedIsCutBackNotQueuedForever) {
  QORNamedPipeMarshall marshall;
  Reader(marshall);
  QORAudioDataFloat period;
  std::vector<float> samples(200, 0.25f);
  uint32_t largest = 0;
  for (int p = 0; p < 400; ++p) {
    marshall.GetPipe().AcceptMessage(Message(samples, 16000).data(), Pipe::kMessageSize);
    Fill(period, 480, 1, 48000, 0.0f);
    largest = std::max(largest, marshall.Read(period));
  }
  EXPECT_GT(marshall.GetFifoDropCount(), 0u);
  EXPECT_LE(largest, 2u * 480u + QORNamedPipeMarshall::kLeadSamples);
  EXPECT_GT(marshall.GetPipe().GetDroppedSamples(), 0u);  // the ring filled up as well
}

TEST(QORNamedPipeMarshall, SteadyPeriodsAllocateNothingWithBothPipeThreadsRunning) {
  qortest::TempStateRoot root;
  QORNamedPipeMarshall sameRate;
  QORNamedPipeMarshall converted;
  QORNamedPipeMarshall writer;
  for (auto* reader : {&sameRate, &converted}) {
    reader->Init(0, true);
    reader->SetRunning(reader->GetPipe().StartThread());
    ASSERT_TRUE(reader->IsRunning());
  }
  writer.Init(16000, false);
  writer.SetRunning(writer.GetPipe().StartThread());
  ASSERT_TRUE(writer.IsRunning());
  QORAudioDataFloat in;
  QORAudioDataFloat out48;
  QORAudioDataFloat out16;
  uint64_t n = 0;
  auto period = [&] {
    in.Init(480, 2, 48000);
    float* samples = in.GetSamples(true, true);
    for (int f = 0; f < 480; ++f, ++n) {
      samples[2 * f] = samples[2 * f + 1] =
          0.3f * static_cast<float>(std::sin(2.0 * std::numbers::pi * 1000.0 * n / 48000));
    }
    writer.Write(in);
    out48.Init(480, 2, 48000);
    out48.GetSamples(true, true);
    converted.Read(out48);
    out16.Init(160, 1, 16000);
    out16.GetSamples(true, true);
    sameRate.Read(out16);
  };
  auto next = std::chrono::steady_clock::now();
  for (int p = 0; p < 60; ++p) {
    period();
    next += std::chrono::milliseconds(10);
    std::this_thread::sleep_until(next);
  }
  ASSERT_EQ(converted.GetPipe().GetRate(), 16000u);
  ASSERT_EQ(sameRate.GetPipe().GetRate(), 16000u);
  qortest::AllocationScope scope;
  for (int p = 0; p < 100; ++p) {
    period();
    next += std::chrono::milliseconds(10);
    std::this_thread::sleep_until(next);
  }
  EXPECT_EQ(scope.Count(), 0u);
  // And the tone did arrive.
  float peak = 0.0f;
  const float* received = out48.GetSamples(false, false);
  for (int f = 0; f < 480; ++f) peak = std::max(peak, std::fabs(received[f]));
  EXPECT_GT(peak, 0.3f);
}

}  // namespace
