#include <gtest/gtest.h>

#include <vector>

#include "audio/QORAudioDataFloat.h"
#include "audio/QORAudioDataIndexed.h"
#include "audio/QORRingBuffer.h"

namespace {

TEST(QORRingBuffer, ResetWithAndWithoutSilence) {
  QORRingBuffer<float> ring;
  EXPECT_EQ(ring.GetCapacity(), 0u);
  EXPECT_EQ(ring.GetFreeFrames(), 0u);
  ring.Init(8, 2, true);
  EXPECT_EQ(ring.GetAvailableFrames(), 8u);
  EXPECT_EQ(ring.GetFreeFrames(), 0u);
  ring.Reset(false);
  EXPECT_EQ(ring.GetAvailableFrames(), 0u);
  EXPECT_EQ(ring.GetFreeFrames(), 8u);
  ring.Init(0, 2, true);
  EXPECT_EQ(ring.GetChannelCount(), 0u);
  float x = 1.0f;
  EXPECT_EQ(ring.Write(&x, 1), 0u);
}

TEST(QORRingBuffer, KeepsOrderAcrossTheWrapAndRefusesWhenFull) {
  QORRingBuffer<float> ring;
  ring.Init(8, 1, false);
  const std::vector<float> a = {1, 2, 3, 4, 5, 6};
  const std::vector<float> b = {7, 8, 9, 10, 11, 12};
  std::vector<float> out(12, 0.0f);
  EXPECT_EQ(ring.Write(a.data(), 6), 6u);
  EXPECT_EQ(ring.Read(out.data(), 4), 4u);
  EXPECT_EQ(ring.Write(b.data(), 6), 6u);
  EXPECT_EQ(ring.GetFreeFrames(), 0u);
  EXPECT_EQ(ring.GetAvailableFrames(), 8u);
  EXPECT_EQ(ring.Write(a.data(), 1), 0u);
  EXPECT_EQ(ring.Read(out.data() + 4, 20), 8u);
  EXPECT_EQ(out, std::vector<float>({1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12}));
  EXPECT_EQ(ring.Read(out.data(), 1), 0u);
  EXPECT_EQ(ring.Write(nullptr, 3), 0u);
}

TEST(QORRingBuffer, CursorTransfersAllChannelsAndSkipsSurplusRings) {
  QORRingBuffer<float> ring;
  ring.Init(8, 3, false);
  QORAudioDataFloat source;
  const std::vector<float> planar = {1, 2, 3, 4, 11, 12, 13, 14, 21, 22, 23, 24};
  source.Assign(planar.data(), 4, 3, false, 48000);
  QORAudioDataIndexed<float> in(source);
  in.Advance(1);
  EXPECT_EQ(ring.Write(in), 3u);

  QORAudioDataFloat two;
  two.Init(2, 2, 48000);
  QORAudioDataIndexed<float> out(two);
  EXPECT_EQ(ring.Read(out), 2u);
  const float* got = two.GetSamples(false, false);
  EXPECT_EQ(std::vector<float>(got, got + 4), std::vector<float>({2, 3, 12, 13}));
  EXPECT_FALSE(two.HasInterleaved());
  // The third ring was skipped ahead with the others.
  EXPECT_EQ(ring.GetAvailableFrames(), 1u);

  // A source with fewer channels than rings advances the missing rings in step.
  QORAudioDataFloat mono;
  const std::vector<float> m = {5, 6};
  mono.Assign(m.data(), 2, 1, true, 48000);
  QORAudioDataIndexed<float> monoCursor(mono);
  EXPECT_EQ(ring.Write(monoCursor), 2u);
  QORAudioDataFloat three;
  three.Init(3, 3, 48000);
  QORAudioDataIndexed<float> all(three);
  EXPECT_EQ(ring.Read(all), 3u);
  const float* p = three.GetSamples(false, false);
  EXPECT_EQ(p[0], 4.0f);
  EXPECT_EQ(p[1], 5.0f);
  EXPECT_EQ(p[2], 6.0f);
  EXPECT_EQ(p[6], 24.0f);
  EXPECT_EQ(ring.GetAvailableFrames(), 0u);
}

}  // namespace
