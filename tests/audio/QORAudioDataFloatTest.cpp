#include "audio/QORAudioDataFloat.h"

#include <gtest/gtest.h>

#include "AudioTestSupport.h"
#include "audio/QORAudioDataIndexed.h"
#include "audio/QORChannelBox.h"
#include "audio/QORRingBuffer.h"

namespace {

using qortest::Samples;
using Floats = std::vector<float>;
using Cursor = QORAudioDataIndexed<float>;

TEST(QORRingBuffer, CursorTransfersAllChannelsAndSkipsSurplusRings) {
  QORRingBuffer<float> ring;
  ring.Init(8, 3, false);
  QORAudioDataFloat source, two, mono, three;
  const Floats planar = {1, 2, 3, 4, 11, 12, 13, 14, 21, 22, 23, 24};
  source.Assign(planar.data(), 4, 3, false, 48000);
  Cursor in(source);
  in.Advance(1);
  EXPECT_EQ(ring.Write(in), 3u);
  // A destination with fewer channels skips the third ring ahead with the others.
  two.Init(2, 2, 48000);
  Cursor out(two);
  EXPECT_EQ(ring.Read(out), 2u);
  EXPECT_EQ(Samples(two, false), Floats({2, 3, 12, 13}));
  EXPECT_EQ(ring.GetAvailableFrames(), 1u);
  // A source with fewer channels advances the missing rings in step.
  const Floats m = {5, 6};
  mono.Assign(m.data(), 2, 1, true, 48000);
  Cursor monoCursor(mono);
  EXPECT_EQ(ring.Write(monoCursor), 2u);
  three.Init(3, 3, 48000);
  Cursor all(three);
  EXPECT_EQ(ring.Read(all), 3u);
  const Floats got = Samples(three, false);
  EXPECT_EQ(Floats(got.begin(), got.begin() + 3), Floats({4, 5, 6}));
  EXPECT_EQ(got[6], 24.0f);
  // Rings driven apart by the channel-0 calls: a skip never passes what a ring has free or holds.
  QORRingBuffer<float> apart;
  apart.Init(4, 2, true);
  Floats four(4, 0.0f);
  EXPECT_EQ(apart.Read(four.data(), 4), 4u);
  QORAudioDataFloat mono4, stereo4;
  mono4.Init(4, 1, 48000);
  stereo4.Init(4, 2, 48000);
  Cursor monoIn(mono4), stereoOut(stereo4), monoOut(mono4), stereoIn(stereo4);
  EXPECT_EQ(apart.Write(monoIn), 4u);
  EXPECT_EQ(apart.Read(stereoOut), 4u);
  EXPECT_EQ(apart.Write(four.data(), 4), 4u);
  EXPECT_EQ(apart.Read(monoOut), 4u);
  EXPECT_EQ(apart.Write(stereoIn), 4u);
}

// Interleaved to planar and back, for the stereo loops and the general ones, on odd lengths. Each
// sample is distinct (frame + channel / 8), so a swapped channel or a shifted frame shows.
TEST(QORAudioDataFloat, ConversionsPutEverySampleOfEveryChannelInPlace) {
  for (uint32_t channels = 1; channels <= 5; ++channels) {
    for (const uint32_t frames : {1u, 7u, 481u}) {
      SCOPED_TRACE(std::to_string(channels) + " channels, " + std::to_string(frames) + " frames");
      Floats interleaved(size_t{frames} * channels), planar(interleaved.size());
      for (uint32_t i = 0; i < frames * channels; ++i) {
        interleaved[i] =
            static_cast<float>(i / channels) + 0.125f * static_cast<float>(i % channels + 1);
        planar[(i % channels) * frames + i / channels] = interleaved[i];
      }
      QORAudioDataFloat data;
      ASSERT_TRUE(data.Assign(interleaved.data(), frames, channels, true, 48000));
      float* writable = data.GetSamples(true, false);  // the interleaved copy is dropped
      ASSERT_NE(writable, nullptr);
      EXPECT_EQ(Floats(writable, writable + planar.size()), planar);
      for (size_t i = 0; i < planar.size(); ++i) writable[i] = -writable[i];
      for (float& s : interleaved) s = -s;
      EXPECT_EQ(Samples(data), interleaved);
    }
  }
}

}  // namespace
