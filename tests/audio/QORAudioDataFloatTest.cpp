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

TEST(QORAudioDataFloat, FormsConvertLazilyChannelsAddAndCopiesKeepTheMap) {
  QORAudioDataFloat data, copy;
  data.Init(3, 2, 48000);
  float* interleaved = data.GetSamples(true, true);
  EXPECT_EQ(Floats(interleaved, interleaved + 6), Floats(6, 0.0f));
  const Floats ramp = Ramp(6);
  std::copy(ramp.begin(), ramp.end(), interleaved);
  EXPECT_EQ(Samples(data, false), Floats({1, 3, 5, 2, 4, 6}));
  EXPECT_TRUE(data.HasInterleaved());  // reading without discarding keeps both forms
  data.GetSamples(true, false);
  EXPECT_FALSE(data.HasInterleaved());
  // Added channels are silent, with the map's "other" role.
  data.Assign(ramp.data(), 3, 2, true, 44100);
  data.AddChannels(1);
  EXPECT_FALSE(data.HasInterleaved());
  EXPECT_EQ(Samples(data, false), Floats({1, 3, 5, 2, 4, 6, 0, 0, 0}));
  EXPECT_EQ(data.GetChannelMapEntry(2), 12u);
  // A copy takes format, samples and map, and leaves the source as it was.
  data.SetChannelMapEntry(0, 7);
  copy.CopyFrom(data);
  EXPECT_EQ(copy.GetSampleRate(), 44100u);
  EXPECT_EQ(copy.GetChannelMapEntry(0), 7u);
  EXPECT_EQ(copy.GetChannelMapEntry(1), 1u);
  EXPECT_EQ(Samples(copy), Floats({1, 2, 0, 3, 4, 0, 5, 6, 0}));
  EXPECT_FALSE(data.HasInterleaved());
  // Map defaults and bounds.
  data.Init(4, 14, 48000);
  for (uint32_t i = 0; i < 14; ++i) EXPECT_EQ(data.GetChannelMapEntry(i), std::min(i, 12u)) << i;
  EXPECT_EQ(data.GetChannelMapEntry(20), 12u);
  data.Init(4, 2, 48000);
  EXPECT_FALSE(data.SetChannelMapEntry(2, 3));
}

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
