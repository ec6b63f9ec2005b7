#include <gtest/gtest.h>

#include <vector>

#include "AudioTestSupport.h"
#include "audio/QORAudioDataFloat.h"
#include "audio/QORAudioProcessBlock.h"
#include "audio/QORAudioProcessChain.h"
#include "audio/QORAudioProcessDelay.h"
#include "audio/QORAudioProcessResampleChain.h"

namespace {

using qortest::RunPeriod;
using Floats = std::vector<float>;

using qortest::GainProcess;

TEST(QORAudioProcessChain, InitsEveryProcessRunsThemInOrderAndBypasses) {
  std::vector<int> log;
  GainProcess one(1, 1, &log), two(2, 2, &log, false), three(3, 3, &log);
  QORAudioProcessChain<float> chain;
  EXPECT_TRUE(chain.Init(2, 48000));
  for (auto* process : {&one, &two, &three}) chain.AddProcess(process);
  EXPECT_FALSE(chain.Init(2, 48000));  // the failure does not stop the third Init
  EXPECT_EQ(log, std::vector<int>({1, 2, 3}));
  EXPECT_EQ(chain.GetLatency(), 6u);
  log.clear();
  EXPECT_EQ(RunPeriod(chain, {0.5f}, 1), Floats({3.0f}));
  EXPECT_EQ(log, std::vector<int>({-1, -2, -3}));
  chain.EnableBypass(true);
  EXPECT_EQ(RunPeriod(chain, {0.5f}, 1), Floats({0.5f}));
  EXPECT_EQ(log.size(), 3u);
}

// Negates every block and records the length of the last.
class NegatingBlock : public QORAudioProcessBlock {
 public:
  bool Init(uint32_t, uint32_t) override { return true; }
  void EnableBypass(bool) override {}
  bool IsBypassed() const override { return false; }
  void ProcessBlock(IQORAudioData<float>& block) override {
    lastBlockFrames = block.GetFrameCount();
    float* s = block.GetSamples(true, false);
    for (uint32_t i = 0; i < block.GetFrameCount() * block.GetChannelCount(); ++i) s[i] = -s[i];
  }
  uint32_t lastBlockFrames = 0;
};

// A stereo ramp whose channels differ, so that swapped or shifted channels would show.
float Ramp2(uint32_t f, uint32_t c) {
  return (c == 0 ? 1.0f : -1000.0f) * static_cast<float>(f + 1);
}

TEST(QORAudioProcessBlock, DelaysEveryFrameByTwoBlocks) {
  for (const auto& periods : std::vector<std::vector<uint32_t>>{
           {1000, 1000}, {256, 256, 256, 256, 256}, {100, 1, 333, 700, 37, 1024}}) {
    SCOPED_TRACE(periods.size());
    NegatingBlock process;
    process.PrepareBlocks(256, 2);
    EXPECT_EQ(process.GetLatency(), 512u);
    qortest::ExpectDelayed(qortest::Stream(process, 2, 48000, periods, Ramp2), 2, 512, -1.0f,
                           Ramp2);
    EXPECT_EQ(process.lastBlockFrames, 256u);
  }
}

TEST(QORAudioProcessBlock, DegeneratePeriodsReturnAtOnceUntouched) {
  // Rings that cannot hold a frame, or a period without channels, must not spin the real-time
  // thread: the period stays as it was.
  NegatingBlock noChannels;
  noChannels.PrepareBlocks(64, 0);
  NegatingBlock prepared;
  prepared.PrepareBlocks(64, 2);
  QORAudioDataFloat data;
  const std::vector<float> samples(8, 0.5f);
  data.Assign(samples.data(), 4, 2, true, 48000);
  noChannels.Process(data);
  EXPECT_EQ(data.GetSamples(false, true)[0], 0.5f);
  data.Init(4, 0, 48000);
  EXPECT_EQ(data.GetSamples(false, true), nullptr);
  prepared.Process(data);
  EXPECT_EQ(prepared.lastBlockFrames, 0u);
}

TEST(QORAudioProcessDelay, EveryFrameLeavesExactlyDelayFramesLater) {
  struct Case {
    uint32_t delay;
    std::vector<uint32_t> periods;
  };
  for (const Case& c : {Case{3, {8, 4, 4}}, Case{1000, {480, 480, 480, 480, 480}},
                        Case{7, {7, 1, 13}}, Case{1, {1, 1, 1}}}) {
    SCOPED_TRACE(c.delay);
    QORAudioProcessDelay delay;
    delay.SetDelay(c.delay);
    ASSERT_TRUE(delay.Init(2, 48000));
    EXPECT_EQ(delay.GetLatency(), c.delay);
    qortest::ExpectDelayed(qortest::Stream(delay, 2, 48000, c.periods, Ramp2), 2, c.delay, 1.0f,
                           Ramp2);
  }
}

TEST(QORAudioProcess, SteadyPeriodsDoNotAllocate) {
  QORAudioDataFloat data, copy;
  auto period = [&] {
    data.Init(480, 2, 48000);
    data.GetSamples(true, true)[0] = 0.5f;
    data.GetSamples(true, false);
    copy.CopyFrom(data);
  };
  period();
  qortest::AllocationScope scope;
  for (int i = 0; i < 10; ++i) period();
  EXPECT_EQ(scope.Count(), 0u);
  NegatingBlock block;
  block.PrepareBlocks(256, 2);
  EXPECT_EQ(qortest::SteadyAllocations(block, 480, 2, 48000, 1), 0u);
  QORAudioProcessDelay delay;
  delay.SetDelay(700);
  delay.Init(8, 48000);
  EXPECT_EQ(qortest::SteadyAllocations(delay, 480, 8, 48000, 1), 0u);
  for (uint32_t internal : {44100u, 16000u}) {
    QORAudioProcessResampleChain chain;
    GainProcess planar(1);
    chain.AddProcess(&planar);
    chain.SetInternalRate(internal);
    ASSERT_TRUE(chain.Init(6, 48000));
    EXPECT_EQ(qortest::SteadyAllocations(chain, 441, 6, 48000, 0), 0u) << internal;
  }
}

}  // namespace

TEST(QORAudioProcessDelay, InterleavedArraysInPlaceOrApartAreDelayedExactly) {
  for (bool inPlace : {false, true}) {
    SCOPED_TRACE(inPlace ? "in place" : "apart");
    QORAudioProcessDelay delay;
    delay.SetDelay(7);
    ASSERT_TRUE(delay.Init(2, 48000));
    std::vector<float> out;
    float next = 1.0f;
    // Shorter and longer than the delay, from every position of the ring.
    for (uint32_t frames : {5u, 9u, 13u, 2u, 7u, 3u, 8u}) {
      std::vector<float> in(frames * 2);
      for (uint32_t f = 0; f < frames; ++f, next += 1.0f) {
        in[2 * f] = next;
        in[2 * f + 1] = -next;
      }
      std::vector<float> result(in.size(), 99.0f);
      if (inPlace) {
        result = in;
        delay.ProcessInterleaved(result.data(), result.data(), frames);
      } else {
        delay.ProcessInterleaved(in.data(), result.data(), frames);
      }
      out.insert(out.end(), result.begin(), result.end());
    }
    ASSERT_EQ(out.size(), 94u);
    for (size_t f = 0; f < 47; ++f) {
      const float expected = f < 7 ? 0.0f : static_cast<float>(f - 6);
      ASSERT_EQ(out[2 * f], expected) << f;
      ASSERT_EQ(out[2 * f + 1], -expected) << f;
    }
  }
}
