#include "audio/QORAudioDataFloat.h"

#include <gtest/gtest.h>

#include <vector>

#include "AudioTestSupport.h"
#include "audio/QORAudioDataIndexed.h"
#include "audio/QORChannelBox.h"
#include "audio/QORRingBuffer.h"

namespace {

using qortest::Ramp;
using qortest::Samples;
using Floats = std::vector<float>;

TEST(QORRingBuffer, CursorTransfersAllChannelsAndSkipsSurplusRings) {
  QORRingBuffer<float> ring;
  ring.Init(8, 3, false);
  QORAudioDataFloat source, two, mono, three;
  const Floats planar = {1, 2, 3, 4, 11, 12, 13, 14, 21, 22, 23, 24};
  source.Assign(planar.data(), 4, 3, false, 48000);
  QORAudioDataIndexed<float> in(source);
  in.Advance(1);
  EXPECT_EQ(ring.Write(in), 3u);
  // A destination with fewer channels skips the third ring ahead with the others.
  two.Init(2, 2, 48000);
  QORAudioDataIndexed<float> out(two);
  EXPECT_EQ(ring.Read(out), 2u);
  EXPECT_EQ(Samples(two, false), Floats({2, 3, 12, 13}));
  EXPECT_EQ(ring.GetAvailableFrames(), 1u);
  // A source with fewer channels advances the missing rings in step.
  const Floats m = {5, 6};
  mono.Assign(m.data(), 2, 1, true, 48000);
  QORAudioDataIndexed<float> monoCursor(mono);
  EXPECT_EQ(ring.Write(monoCursor), 2u);
  three.Init(3, 3, 48000);
  QORAudioDataIndexed<float> all(three);
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
  QORAudioDataIndexed<float> monoIn(mono4), stereoOut(stereo4), monoOut(mono4), stereoIn(stereo4);
  EXPECT_EQ(apart.Write(monoIn), 4u);
  EXPECT_EQ(apart.Read(stereoOut), 4u);
  EXPECT_EQ(apart.Write(four.data(), 4), 4u);
  EXPECT_EQ(apart.Read(monoOut), 4u);
  EXPECT_EQ(apart.Write(stereoIn), 4u);
}

}  // namespace

namespace {

// Sample f of channel c, distinct everywhere, so a swapped channel or a shifted frame shows.
float Mark(uint32_t f, uint32_t c) {
  return static_cast<float>(f) + 0.125f * static_cast<float>(c + 1);
}

}  // namespace

// Interleaved to planar and back, for the stereo loops and the general ones, on odd lengths.
TEST(QORAudioDataFloat, ConversionsPutEverySampleOfEveryChannelInPlace) {
  for (uint32_t channels = 1; channels <= 5; ++channels) {
    for (const uint32_t frames : {1u, 7u, 481u}) {
      SCOPED_TRACE(std::to_string(channels) + " channels, " + std::to_string(frames) + " frames");
      Floats in(static_cast<size_t>(frames) * channels);
      for (uint32_t f = 0; f < frames; ++f) {
        for (uint32_t c = 0; c < channels; ++c) in[f * channels + c] = Mark(f, c);
      }
      QORAudioDataFloat data;
      ASSERT_TRUE(data.Assign(in.data(), frames, channels, true, 48000));
      float* planar = data.GetSamples(true, false);  // the interleaved copy is dropped
      ASSERT_NE(planar, nullptr);
      size_t wrong = 0;
      for (uint32_t c = 0; c < channels; ++c) {
        for (uint32_t f = 0; f < frames; ++f) {
          wrong += planar[c * frames + f] != Mark(f, c);
          planar[c * frames + f] = -Mark(f, c);
        }
      }
      EXPECT_EQ(wrong, 0u);
      const float* interleaved = data.GetSamples(false, true);
      for (uint32_t f = 0; f < frames; ++f) {
        for (uint32_t c = 0; c < channels; ++c)
          wrong += interleaved[f * channels + c] != -Mark(f, c);
      }
      EXPECT_EQ(wrong, 0u);
    }
  }
}
