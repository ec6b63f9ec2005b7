#include <gtest/gtest.h>

#include <vector>

#include "AllocationCounter.h"
#include "audio/QORAudioDataFloat.h"
#include "audio/QORAudioProcessDelay.h"

namespace {

// Runs one interleaved period through the delay and returns it interleaved.
std::vector<float> RunPeriod(QORAudioProcessDelay& delay, const std::vector<float>& input,
                             uint32_t channels) {
  QORAudioDataFloat data;
  data.Assign(input.data(), static_cast<uint32_t>(input.size() / channels), channels, true, 48000);
  delay.Process(data);
  const float* out = data.GetSamples(false, true);
  return std::vector<float>(out, out + input.size());
}

std::vector<float> Ramp(uint32_t first, uint32_t count) {
  std::vector<float> ramp(count);
  for (uint32_t i = 0; i < count; ++i) ramp[i] = static_cast<float>(first + i);
  return ramp;
}

TEST(QORAudioProcessDelay, ImpulseLeavesExactlyDelayFramesLater) {
  QORAudioProcessDelay delay;
  delay.SetDelay(3);
  ASSERT_TRUE(delay.Init(1, 48000));
  std::vector<float> impulse(8, 0.0f);
  impulse[0] = 1.0f;
  EXPECT_EQ(RunPeriod(delay, impulse, 1), std::vector<float>({0, 0, 0, 1, 0, 0, 0, 0}));
  // The tail of a period comes out at the start of the next.
  impulse.assign(4, 0.0f);
  impulse[3] = 0.5f;
  EXPECT_EQ(RunPeriod(delay, impulse, 1), std::vector<float>({0, 0, 0, 0}));
  EXPECT_EQ(RunPeriod(delay, std::vector<float>(4, 0.0f), 1), std::vector<float>({0, 0, 0.5f, 0}));
  EXPECT_EQ(delay.GetLatency(), 3u);
}

TEST(QORAudioProcessDelay, PeriodsShorterThanTheDelayKeepTheirLengthAndOrder) {
  QORAudioProcessDelay delay;
  delay.SetDelay(1000);
  delay.Init(2, 48000);
  uint32_t frame = 0;
  for (int period = 0; period < 5; ++period) {
    std::vector<float> input(480 * 2);
    for (uint32_t f = 0; f < 480; ++f) {
      input[f * 2] = static_cast<float>(frame + f + 1);
      input[f * 2 + 1] = -static_cast<float>(frame + f + 1);
    }
    QORAudioDataFloat data;
    data.Assign(input.data(), 480, 2, true, 48000);
    delay.Process(data);
    ASSERT_EQ(data.GetFrameCount(), 480u);
    EXPECT_FALSE(data.HasInterleaved());
    const float* planar = data.GetSamples(false, false);
    for (uint32_t f = 0; f < 480; ++f) {
      const uint32_t at = frame + f;
      const float expected = at < 1000 ? 0.0f : static_cast<float>(at - 1000 + 1);
      ASSERT_EQ(planar[f], expected) << "frame " << at;
      ASSERT_EQ(planar[480 + f], -expected) << "frame " << at;
    }
    frame += 480;
  }
}

TEST(QORAudioProcessDelay, ZeroDelayLeavesTheBufferUntouched) {
  QORAudioProcessDelay delay;
  EXPECT_TRUE(delay.Init(2, 48000));
  EXPECT_EQ(delay.GetLatency(), 0u);
  const std::vector<float> input = Ramp(1, 8);
  QORAudioDataFloat data;
  data.Assign(input.data(), 4, 2, true, 48000);
  delay.Process(data);
  EXPECT_TRUE(data.HasInterleaved());
  EXPECT_FALSE(data.HasPlanar());
  EXPECT_EQ(std::vector<float>(data.GetSamples(false, true), data.GetSamples(false, true) + 8),
            input);
}

TEST(QORAudioProcessDelay, ChannelsBeyondTheLinesPassUndelayed) {
  QORAudioProcessDelay delay;
  delay.SetDelay(1);
  delay.Init(2, 48000);
  const std::vector<float> input = Ramp(1, 12);  // two 6-channel frames
  const std::vector<float> out = RunPeriod(delay, input, 6);
  EXPECT_EQ(out, std::vector<float>({0, 0, 3, 4, 5, 6, 1, 2, 9, 10, 11, 12}));
}

TEST(QORAudioProcessDelay, ChangingTheDelayKeepsTheOldestSamples) {
  QORAudioProcessDelay delay;
  delay.SetDelay(10);
  delay.Init(1, 48000);
  RunPeriod(delay, Ramp(1, 10), 1);  // the line now holds 1..10
  delay.SetDelay(4);                 // drops 5..10, the most recent
  EXPECT_EQ(delay.GetLatency(), 4u);
  EXPECT_EQ(RunPeriod(delay, Ramp(11, 6), 1), std::vector<float>({1, 2, 3, 4, 11, 12}));
  // The line holds 13..16; growing appends silence behind them.
  delay.SetDelay(6);
  EXPECT_EQ(RunPeriod(delay, Ramp(21, 8), 1), std::vector<float>({13, 14, 15, 16, 0, 0, 21, 22}));
  // A zero delay keeps the line as it is for a later non-zero delay.
  delay.SetDelay(0);
  EXPECT_EQ(RunPeriod(delay, Ramp(31, 2), 1), std::vector<float>({31, 32}));
  delay.SetDelay(2);
  EXPECT_EQ(RunPeriod(delay, Ramp(41, 3), 1), std::vector<float>({23, 24, 41}));
}

TEST(QORAudioProcessDelay, LinesFollowTheChannelCount) {
  QORAudioProcessDelay delay;
  delay.SetDelay(2);
  delay.Init(1, 48000);
  RunPeriod(delay, Ramp(1, 2), 1);
  delay.Init(2, 48000);  // the new line starts silent, the old keeps its history
  EXPECT_EQ(RunPeriod(delay, {5, 6, 7, 8}, 2), std::vector<float>({1, 0, 2, 0}));
}

TEST(QORAudioProcessDelay, SteadyPeriodsAllocateNothing) {
  QORAudioProcessDelay delay;
  delay.SetDelay(700);
  delay.Init(8, 48000);
  QORAudioDataFloat data;
  data.Init(480, 8, 48000);
  data.GetSamples(true, true);
  delay.Process(data);
  qortest::AllocationScope allocations;
  for (int i = 0; i < 10; ++i) {
    data.Init(480, 8, 48000);
    data.GetSamples(true, true)[0] = 1.0f;
    delay.Process(data);
  }
  EXPECT_EQ(allocations.Count(), 0u);
}

}  // namespace
