#include <gtest/gtest.h>

#include <vector>

#include "AllocationCounter.h"
#include "audio/QORAudioDataFloat.h"
#include "audio/QORAudioDataIndexed.h"
#include "audio/QORChannelBox.h"

namespace {

std::vector<float> Ramp(size_t count, float start = 1.0f) {
  std::vector<float> v(count);
  for (size_t i = 0; i < count; ++i) v[i] = start + static_cast<float>(i);
  return v;
}

TEST(QORAudioDataFloat, EmptyFormatHasNoSamples) {
  QORAudioDataFloat data;
  EXPECT_EQ(data.GetSampleRate(), 0xFFFFFFFFu);
  EXPECT_EQ(data.GetSamples(true, true), nullptr);
  data.Init(0, 2, 48000);
  EXPECT_EQ(data.GetSamples(false, false), nullptr);
  data.Init(480, 0, 48000);
  EXPECT_EQ(data.GetSamples(false, true), nullptr);
  EXPECT_FALSE(data.HasInterleaved());
  EXPECT_FALSE(data.HasPlanar());
}

TEST(QORAudioDataFloat, FormsConvertLazilyAndDiscardOnRequest) {
  QORAudioDataFloat data;
  data.Init(480, 2, 48000);
  float* interleaved = data.GetSamples(true, true);
  ASSERT_NE(interleaved, nullptr);
  for (int i = 0; i < 960; ++i) ASSERT_EQ(interleaved[i], 0.0f);
  for (int f = 0; f < 480; ++f) {
    interleaved[2 * f] = static_cast<float>(f);
    interleaved[2 * f + 1] = -static_cast<float>(f);
  }
  data.ReleaseSamples();

  // Reading planar without discarding keeps both forms.
  const float* planar = data.GetSamples(false, false);
  EXPECT_TRUE(data.HasInterleaved());
  EXPECT_EQ(planar[0], 0.0f);
  EXPECT_EQ(planar[479], 479.0f);
  EXPECT_EQ(planar[480], 0.0f);
  EXPECT_EQ(planar[959], -479.0f);

  data.GetSamples(true, false);
  EXPECT_FALSE(data.HasInterleaved());
  EXPECT_TRUE(data.HasPlanar());
  EXPECT_EQ(data.GetSizeInBytes(), 3840u);
  EXPECT_EQ(data.GetSampleCount(), 960u);
}

TEST(QORAudioDataFloat, ChannelMapDefaultsAndBounds) {
  QORAudioDataFloat data;
  data.Init(4, 2, 48000);
  EXPECT_EQ(data.GetChannelMapEntry(20), 12u);
  EXPECT_FALSE(data.SetChannelMapEntry(20, 3));
  EXPECT_TRUE(data.SetChannelMapEntry(1, 7));
  EXPECT_EQ(data.GetChannelMapEntry(1), 7u);

  data.Init(4, 5, 48000);
  for (uint32_t i = 0; i < 5; ++i) EXPECT_EQ(data.GetChannelMapEntry(i), i);
  data.Init(4, 14, 48000);
  EXPECT_EQ(data.GetChannelMapEntry(11), 11u);
  EXPECT_EQ(data.GetChannelMapEntry(12), 12u);
  EXPECT_EQ(data.GetChannelMapEntry(13), 12u);
}

TEST(QORAudioDataFloat, AddChannelsMakesPlanarWithSilentNewChannels) {
  QORAudioDataFloat data;
  const auto samples = Ramp(6);  // 3 frames, stereo, interleaved
  data.Assign(samples.data(), 3, 2, true, 44100);
  data.AddChannels(1);
  EXPECT_EQ(data.GetChannelCount(), 3u);
  EXPECT_FALSE(data.HasInterleaved());
  EXPECT_TRUE(data.HasPlanar());
  const float* planar = data.GetSamples(false, false);
  const std::vector<float> expected = {1, 3, 5, 2, 4, 6, 0, 0, 0};
  EXPECT_EQ(std::vector<float>(planar, planar + 9), expected);
  EXPECT_EQ(data.GetChannelMapEntry(2), 12u);
  EXPECT_TRUE(data.SetChannelMapEntry(2, 7));

  // Adding to a planar buffer appends silence; to an empty one re-initialises the format.
  data.AddChannels(2);
  EXPECT_EQ(data.GetChannelCount(), 5u);
  EXPECT_EQ(data.GetSamples(false, false)[14], 0.0f);
  QORAudioDataFloat empty;
  empty.Init(10, 1, 8000);
  empty.AddChannels(2);
  EXPECT_EQ(empty.GetChannelCount(), 3u);
  EXPECT_EQ(empty.GetChannelMapEntry(2), 2u);
}

TEST(QORAudioDataFloat, CopyFromTakesFormatSamplesAndMapAndLeavesSourceAsItWas) {
  QORAudioDataFloat source;
  const auto samples = Ramp(8);
  source.Assign(samples.data(), 4, 2, false, 32000);
  source.SetChannelMapEntry(0, 7);
  QORAudioDataFloat copy;
  copy.CopyFrom(source);
  EXPECT_EQ(copy.GetFrameCount(), 4u);
  EXPECT_EQ(copy.GetChannelCount(), 2u);
  EXPECT_EQ(copy.GetSampleRate(), 32000u);
  EXPECT_EQ(copy.GetChannelMapEntry(0), 7u);
  EXPECT_EQ(copy.GetChannelMapEntry(1), 1u);
  const float* interleaved = copy.GetSamples(false, true);
  const std::vector<float> expected = {1, 5, 2, 6, 3, 7, 4, 8};
  EXPECT_EQ(std::vector<float>(interleaved, interleaved + 8), expected);
  EXPECT_FALSE(source.HasInterleaved());
}

TEST(QORAudioDataFloat, SteadyPeriodsReuseStorage) {
  QORAudioDataFloat data;
  QORAudioDataFloat copy;
  const auto samples = Ramp(960);
  auto period = [&] {
    data.Init(480, 2, 48000);
    float* out = data.GetSamples(true, true);
    std::copy(samples.begin(), samples.end(), out);
    data.GetSamples(true, false);
    data.GetSamples(true, true);
    copy.CopyFrom(data);
  };
  period();
  qortest::AllocationScope scope;
  for (int i = 0; i < 10; ++i) period();
  EXPECT_EQ(scope.Count(), 0u);
}

TEST(QORAudioDataIndexed, CursorWalksThePlanarForm) {
  QORAudioDataFloat data;
  const auto samples = Ramp(6);
  data.Assign(samples.data(), 3, 2, true, 48000);
  QORAudioDataIndexed<float> cursor(data);
  cursor.Advance(2);
  EXPECT_EQ(cursor.GetRemainingFrames(), 1u);
  EXPECT_EQ(*cursor.GetChannelPointer(false, 1), 6.0f);
  cursor.SetIndex(9);
  cursor.ClampIndex();
  EXPECT_EQ(cursor.GetIndex(), 3u);
  EXPECT_EQ(cursor.GetRemainingFrames(), 0u);
  QORAudioDataFloat empty;
  QORAudioDataIndexed<float> none(empty);
  EXPECT_EQ(none.GetChannelPointer(true, 0), nullptr);
}

TEST(QORChannelBox, CopiesSharedChannelsOverTheRightFrameCount) {
  const std::vector<float> stereo = {1, 2, 3, 4, 5, 6};  // 3 frames
  std::vector<float> mono(3, -1.0f);
  QORChannelBox<float> from(const_cast<float*>(stereo.data()), 2, 3);
  QORChannelBox<float> toMono(mono.data(), 1, 0);
  EXPECT_EQ(toMono.CopyFrom(from), 3u);
  EXPECT_EQ(mono, std::vector<float>({1, 3, 5}));

  std::vector<float> quad(12, 9.0f);
  QORChannelBox<float> toQuad(quad.data(), 4, 2);  // fewer frames than the source: 2 frames
  EXPECT_EQ(toQuad.CopyFrom(from), 2u);
  EXPECT_EQ(quad, std::vector<float>({1, 2, 9, 9, 3, 4, 9, 9, 9, 9, 9, 9}));
}

}  // namespace
