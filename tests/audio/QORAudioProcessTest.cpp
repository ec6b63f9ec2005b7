#include <gtest/gtest.h>

#include "AudioTestSupport.h"
#include "audio/QORAudioProcessBlock.h"
#include "audio/QORAudioProcessDelay.h"

namespace {

using Floats = std::vector<float>;

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

// Expects out (interleaved stereo) to be silence for delay frames, then gain x Ramp2 delayed by
// exactly delay frames.
void ExpectDelayed(const Floats& out, uint32_t delay, float gain) {
  for (uint32_t i = 0; i < out.size(); ++i) {
    const uint32_t f = i / 2, c = i % 2;
    ASSERT_EQ(out[i], f < delay ? 0.0f : gain * Ramp2(f - delay, c))
        << "frame " << f << " ch " << c;
  }
}

TEST(QORAudioProcessBlock, DelaysEveryFrameByTwoBlocksAndLeavesDegeneratePeriods) {
  for (const auto& periods : std::vector<std::vector<uint32_t>>{
           {1000, 1000}, {256, 256, 256, 256, 256}, {100, 1, 333, 700, 37, 1024}}) {
    SCOPED_TRACE(periods.size());
    NegatingBlock process;
    process.PrepareBlocks(256, 2);
    EXPECT_EQ(process.GetLatency(), 512u);
    ExpectDelayed(qortest::Stream(process, 2, 48000, periods, Ramp2), 512, -1.0f);
    EXPECT_EQ(process.lastBlockFrames, 256u);
  }
  // Rings that cannot hold a frame, or a period without channels, must not spin the real-time
  // thread: the period stays as it was.
  NegatingBlock noChannels, prepared;
  noChannels.PrepareBlocks(64, 0);
  prepared.PrepareBlocks(64, 2);
  EXPECT_EQ(qortest::RunPeriod(noChannels, Floats(8, 0.5f), 2), Floats(8, 0.5f));
  QORAudioDataFloat data;
  data.Init(4, 0, 48000);
  prepared.Process(data);
  EXPECT_EQ(prepared.lastBlockFrames, 0u);
}

TEST(QORAudioProcessDelay, EveryFrameLeavesExactlyDelayFramesLater) {
  for (const auto& [delayFrames, periods] : std::vector<std::pair<uint32_t, std::vector<uint32_t>>>{
           {3, {8, 4, 4}}, {1000, {480, 480, 480, 480, 480}}, {7, {7, 1, 13}}, {1, {1, 1, 1}}}) {
    SCOPED_TRACE(delayFrames);
    QORAudioProcessDelay delay;
    delay.SetDelay(delayFrames);
    ASSERT_TRUE(delay.Init(2, 48000));
    EXPECT_EQ(delay.GetLatency(), delayFrames);
    ExpectDelayed(qortest::Stream(delay, 2, 48000, periods, Ramp2), delayFrames, 1.0f);
  }
  // Interleaved arrays in place or apart, shorter and longer than the delay, from every position
  // of the ring.
  for (bool inPlace : {false, true}) {
    QORAudioProcessDelay delay;
    delay.SetDelay(7);
    ASSERT_TRUE(delay.Init(2, 48000));
    Floats out;
    for (uint32_t frames : {5u, 9u, 13u, 2u, 7u, 3u, 8u}) {
      Floats in(frames * 2), result(frames * 2, 99.0f);
      for (uint32_t i = 0; i < frames * 2; ++i) in[i] = Ramp2(out.size() / 2 + i / 2, i % 2);
      if (inPlace) result = in;
      delay.ProcessInterleaved(inPlace ? result.data() : in.data(), result.data(), frames);
      out.insert(out.end(), result.begin(), result.end());
    }
    ExpectDelayed(out, 7, 1.0f);
  }
}

}  // namespace
