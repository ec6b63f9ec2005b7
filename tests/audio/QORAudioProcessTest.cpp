#include <gtest/gtest.h>

#include <vector>

#include "AllocationCounter.h"
#include "audio/QORAudioDataFloat.h"
#include "audio/QORAudioProcessBlock.h"
#include "audio/QORAudioProcessChain.h"

namespace {

// Records calls and scales every sample.
class RecordingProcess : public IQORAudioProcess<float> {
 public:
  RecordingProcess(std::vector<int>* log, int id, bool initResult = true, float gain = 1.0f)
      : log_(log), id_(id), initResult_(initResult), gain_(gain) {}
  bool Init(uint32_t, uint32_t) override {
    log_->push_back(id_);
    return initResult_;
  }
  void EnableBypass(bool) override {}
  bool IsBypassed() const override { return false; }
  uint32_t GetLatency() const override { return static_cast<uint32_t>(id_); }
  void Process(IQORAudioData<float>& data) override {
    log_->push_back(-id_);
    float* s = data.GetSamples(true, true);
    for (uint32_t i = 0; s != nullptr && i < data.GetFrameCount() * data.GetChannelCount(); ++i) {
      s[i] *= gain_;
    }
  }

 private:
  std::vector<int>* log_;
  int id_;
  bool initResult_;
  float gain_;
};

TEST(QORAudioProcessChain, RunsEveryProcessInOrder) {
  std::vector<int> log;
  RecordingProcess one(&log, 1), two(&log, 2, false, 2.0f), three(&log, 3, true, 3.0f);
  QORAudioProcessChain<float> chain;
  QORAudioDataFloat data;
  const float sample = 0.5f;
  data.Assign(&sample, 1, 1, true, 48000);

  EXPECT_TRUE(chain.Init(2, 48000));
  EXPECT_EQ(chain.GetLatency(), 0u);
  chain.Process(data);
  EXPECT_EQ(data.GetSamples(false, true)[0], 0.5f);

  chain.AddProcess(&one);
  chain.AddProcess(&two);
  chain.AddProcess(&three);
  EXPECT_FALSE(chain.Init(2, 48000));
  EXPECT_EQ(log, std::vector<int>({1, 2, 3}));
  EXPECT_EQ(chain.GetLatency(), 6u);
  log.clear();
  chain.Process(data);
  EXPECT_EQ(log, std::vector<int>({-1, -2, -3}));
  EXPECT_EQ(data.GetSamples(false, true)[0], 3.0f);

  log.clear();
  chain.EnableBypass(true);
  chain.Process(data);
  EXPECT_TRUE(log.empty());
  EXPECT_EQ(data.GetSamples(false, true)[0], 3.0f);
}

TEST(QORAudioProcessChain, RemoveTakesOnlyTheFirstOccurrence) {
  std::vector<int> log;
  RecordingProcess one(&log, 1), two(&log, 2), absent(&log, 9);
  QORAudioProcessChain<float> chain;
  chain.AddProcess(&one);
  chain.AddProcess(&two);
  chain.AddProcess(&one);
  chain.RemoveProcess(&absent);
  chain.RemoveProcess(&one);
  EXPECT_EQ(chain.GetProcessCount(), 2u);
  QORAudioDataFloat data;
  data.Init(1, 1, 48000);
  chain.Process(data);
  EXPECT_EQ(log, std::vector<int>({-2, -1}));
  chain.ClearProcesses();
  EXPECT_EQ(chain.GetProcessCount(), 0u);
}

// Negates every block and counts the calls and the block lengths it saw.
class NegatingBlock : public QORAudioProcessBlock {
 public:
  bool Init(uint32_t, uint32_t) override { return true; }
  void EnableBypass(bool) override {}
  bool IsBypassed() const override { return false; }
  void ProcessBlock(IQORAudioData<float>& block) override {
    ++calls;
    lastBlockFrames = block.GetFrameCount();
    float* s = block.GetSamples(true, false);
    for (uint32_t i = 0; s != nullptr && i < block.GetFrameCount() * block.GetChannelCount(); ++i) {
      s[i] = -s[i];
    }
  }
  int calls = 0;
  uint32_t lastBlockFrames = 0;
};

// Feeds a continuous stereo ramp through the block process in periods of the given lengths and
// returns the output, channel 0 followed by channel 1 for each period concatenated.
std::vector<float> RunRamp(NegatingBlock& process, const std::vector<uint32_t>& periods,
                           std::vector<float>* right = nullptr) {
  std::vector<float> left;
  float next = 1.0f;
  QORAudioDataFloat data;
  for (uint32_t frames : periods) {
    data.Init(frames, 2, 48000);
    float* s = data.GetSamples(true, true);
    for (uint32_t f = 0; f < frames; ++f) {
      s[2 * f] = next;
      s[2 * f + 1] = 1000.0f + next;
      next += 1.0f;
    }
    process.Process(data);
    EXPECT_EQ(data.GetFrameCount(), frames);
    const float* out = data.GetSamples(false, true);
    for (uint32_t f = 0; f < frames; ++f) {
      left.push_back(out[2 * f]);
      if (right) right->push_back(out[2 * f + 1]);
    }
  }
  return left;
}

TEST(QORAudioProcessBlock, DelaysEveryFrameByTwoBlocks) {
  for (const auto& periods : std::vector<std::vector<uint32_t>>{
           {1000, 1000}, {256, 256, 256, 256, 256}, {100, 1, 333, 700, 37, 1024}}) {
    NegatingBlock process;
    process.PrepareBlocks(256, 2);
    EXPECT_EQ(process.GetLatency(), 512u);
    std::vector<float> right;
    const auto left = RunRamp(process, periods, &right);
    for (size_t i = 0; i < left.size(); ++i) {
      const float expected = i < 512 ? 0.0f : -static_cast<float>(i - 511);
      ASSERT_EQ(left[i], expected) << "frame " << i;
      ASSERT_EQ(right[i], i < 512 ? 0.0f : expected - 1000.0f) << "frame " << i;
    }
    EXPECT_EQ(process.lastBlockFrames, 256u);
  }
}

TEST(QORAudioProcessBlock, UnblockedAndDegeneratePeriods) {
  NegatingBlock process;
  process.PrepareBlocks(0, 2);
  const auto out = RunRamp(process, {7});
  EXPECT_EQ(process.calls, 1);
  EXPECT_EQ(process.lastBlockFrames, 7u);
  EXPECT_EQ(out[0], -1.0f);

  NegatingBlock blocked;
  blocked.PrepareBlocks(64, 2);
  QORAudioDataFloat empty;
  empty.Init(0, 2, 48000);
  blocked.Process(empty);
  EXPECT_EQ(blocked.calls, 0);
  EXPECT_EQ(empty.GetFrameCount(), 0u);
}

TEST(QORAudioProcessBlock, ChannelsBeyondTheRingsKeepTheirInput) {
  NegatingBlock process;
  process.PrepareBlocks(4, 1);
  QORAudioDataFloat data;
  const std::vector<float> samples = {1,  10, 2,  20, 3,  30, 4,  40, 5,
                                      50, 6,  60, 7,  70, 8,  80, 9,  90};
  data.Assign(samples.data(), 9, 2, true, 48000);
  process.Process(data);
  const float* out = data.GetSamples(false, true);
  for (int f = 0; f < 9; ++f) {
    EXPECT_EQ(out[2 * f], f < 8 ? 0.0f : -1.0f) << f;
    EXPECT_EQ(out[2 * f + 1], 10.0f * static_cast<float>(f + 1)) << f;
  }
}

TEST(QORAudioProcessBlock, SteadyPeriodsDoNotAllocate) {
  NegatingBlock process;
  process.PrepareBlocks(256, 2);
  QORAudioDataFloat data;
  auto period = [&] {
    data.Init(480, 2, 48000);
    data.GetSamples(true, true)[0] = 1.0f;
    process.Process(data);
  };
  period();
  qortest::AllocationScope scope;
  for (int i = 0; i < 20; ++i) period();
  EXPECT_EQ(scope.Count(), 0u);
}

}  // namespace
