#include <gtest/gtest.h>

#include <vector>

#include "audio/QORAudioChannelFold.h"
#include "audio/QORAudioDataFloat.h"
#include "audio/QORAudioProcessDownmix.h"

namespace {

std::vector<float> RunPeriod(QORAudioProcessDownmix& downmix, const std::vector<float>& input,
                             uint32_t channels) {
  QORAudioDataFloat data;
  data.Assign(input.data(), static_cast<uint32_t>(input.size() / channels), channels, true, 48000);
  downmix.Process(data);
  const float* out = data.GetSamples(false, true);
  return std::vector<float>(out, out + input.size());
}

// Single precision, sums first, then the scale, then the front channel.
float Front(float front, float centre, float surround) {
  const float sum = centre + surround;
  const float scaled = 0.707f * sum;
  return front + scaled;
}

TEST(QORAudioProcessDownmix, FoldsFramesWithTheSinglePrecisionCoefficient) {
  QORAudioProcessDownmix fiveOne(QORAudioProcessDownmix::kMode51ToFront);
  EXPECT_EQ(RunPeriod(fiveOne, {1, 2, 3, 4, 5, 6, -1, 0.5f, 0.25f, 9, 0.125f, -2}, 6),
            std::vector<float>({Front(1, 3, 5), Front(2, 3, 6), 0, 0, 0, 0,
                                Front(-1, 0.25f, 0.125f), Front(0.5f, 0.25f, -2), 0, 0, 0, 0}));
  EXPECT_EQ(RunPeriod(fiveOne, {1, 2, 3, 4, 5, 6}, 6)[0], 1.0f + 0.707f * 8.0f);

  QORAudioProcessDownmix toLeft(QORAudioProcessDownmix::kModeStereoToLeft);
  EXPECT_EQ(RunPeriod(toLeft, {0.5f, 0.5f, 0.1f, 0.3f}, 2),
            std::vector<float>({0.707f, 0, (0.1f + 0.3f) * 0.707f, 0}));

  QORAudioProcessDownmix upmix(QORAudioProcessDownmix::kModeLeftToRight);
  EXPECT_EQ(RunPeriod(upmix, {0.25f, -1, 0.5f, 2}, 2),
            std::vector<float>({0.25f, 0.25f, 0.5f, 0.5f}));
}

TEST(QORAudioProcessDownmix, LeavesPeriodsItCannotFoldUntouched) {
  QORAudioProcessDownmix fiveOne(QORAudioProcessDownmix::kMode51ToFront);
  QORAudioDataFloat stereo;
  const std::vector<float> samples = {1, 2, 3, 4, 5, 6};
  stereo.Assign(samples.data(), 3, 2, false, 48000);
  fiveOne.Process(stereo);
  EXPECT_TRUE(stereo.HasPlanar());
  EXPECT_FALSE(stereo.HasInterleaved());

  QORAudioProcessDownmix toLeft(QORAudioProcessDownmix::kModeStereoToLeft);
  EXPECT_EQ(RunPeriod(toLeft, {0.5f, 0.25f}, 1), std::vector<float>({0.5f, 0.25f}));
  toLeft.EnableBypass(true);
  EXPECT_TRUE(toLeft.IsBypassed());
  EXPECT_EQ(RunPeriod(toLeft, {0.5f, 0.25f}, 2), std::vector<float>({0.5f, 0.25f}));
  QORAudioProcessDownmix none(7);
  EXPECT_EQ(RunPeriod(none, {0.5f, 0.25f}, 2), std::vector<float>({0.5f, 0.25f}));
}

TEST(QORAudioProcessDownmix, WiderPeriodsFoldEachFrameAtTheirOwnStride) {
  QORAudioProcessDownmix fiveOne(QORAudioProcessDownmix::kMode51ToFront);
  EXPECT_EQ(RunPeriod(fiveOne, {1, 2, 3, 4, 5, 6, 7, 8, 1, 1, 1, 1, 1, 1, 1, 1}, 8),
            std::vector<float>({Front(1, 3, 5), Front(2, 3, 6), 0, 0, 0, 0, 7, 8, Front(1, 1, 1),
                                Front(1, 1, 1), 0, 0, 0, 0, 1, 1}));
  QORAudioProcessDownmix toLeft(QORAudioProcessDownmix::kModeStereoToLeft);
  EXPECT_EQ(RunPeriod(toLeft, {0.5f, 0.5f, 3, 1, 1, 4}, 3),
            std::vector<float>({0.707f, 0, 3, (1.0f + 1.0f) * 0.707f, 0, 4}));
  QORAudioProcessDownmix upmix(QORAudioProcessDownmix::kModeLeftToRight);
  EXPECT_EQ(RunPeriod(upmix, {1, 2, 3, 4, 5, 6}, 3), std::vector<float>({1, 1, 3, 4, 4, 6}));
}

TEST(QORAudioProcessDownmix, ModeFollowsElementNameAndLayout) {
  EXPECT_EQ(QORAudioProcessDownmix::ModeFor("Downmix", 2), 2u);
  EXPECT_EQ(QORAudioProcessDownmix::ModeFor("Downmix", 4), 1u);
  EXPECT_EQ(QORAudioProcessDownmix::ModeFor("Downmix", 8), 1u);
  EXPECT_EQ(QORAudioProcessDownmix::ModeFor("Upmix", 1), 3u);
  EXPECT_EQ(QORAudioProcessDownmix::ModeFor("Downmix", 1), 0u);
  EXPECT_EQ(QORAudioProcessDownmix::ModeFor("Downmix", 16), 0u);
  EXPECT_EQ(QORAudioProcessDownmix::ModeFor("Upmix", 2), 0u);
  EXPECT_EQ(QORAudioProcessDownmix::ModeFor("downmix", 2), 0u);
}

TEST(QORAudioProcessDownmix, OffersNoControls) {
  QORAudioProcessDownmix downmix(QORAudioProcessDownmix::kModeStereoToLeft);
  EXPECT_TRUE(downmix.Init(2, 48000));
  EXPECT_EQ(downmix.GetLatency(), 0u);
  QORUTSValue value("Gain", "1");
  EXPECT_FALSE(downmix.GetControl(value));
  EXPECT_FALSE(downmix.SetControl(value));
  std::vector<QORUTSControlInfo> list(3);
  EXPECT_EQ(downmix.GetControlInfo(list), 0);
  EXPECT_TRUE(list.empty());
}

TEST(QORAudioChannelFold, ConvertsBetweenChannelCounts) {
  // Five frames: more than one step of four.
  std::vector<float> six(30);
  for (size_t i = 0; i < six.size(); ++i) six[i] = 0.1f * static_cast<float>(i);
  std::vector<float> two(10, -9.0f);
  QORAudioChannelFold::Fold6To2(six.data(), two.data(), 5);
  for (size_t f = 0; f < 5; ++f) {
    const float* in = &six[f * 6];
    EXPECT_EQ(two[f * 2], Front(in[0], in[2], in[4]));
    EXPECT_EQ(two[f * 2 + 1], Front(in[1], in[2], in[5]));
  }
  // LFE plays no part.
  std::vector<float> loud = six;
  for (size_t f = 0; f < 5; ++f) loud[f * 6 + 3] = 1000.0f;
  std::vector<float> same(10);
  QORAudioChannelFold::Fold6To2(loud.data(), same.data(), 5);
  EXPECT_EQ(same, two);
  // In place narrowing gives the same result.
  QORAudioChannelFold::Fold6To2(loud.data(), loud.data(), 5);
  EXPECT_EQ(std::vector<float>(loud.begin(), loud.begin() + 10), two);

  std::vector<float> mono(5, -9.0f);
  QORAudioChannelFold::Fold2To1(two.data(), mono.data(), 5);
  for (size_t f = 0; f < 5; ++f) EXPECT_EQ(mono[f], (two[f * 2] + two[f * 2 + 1]) * 0.707f);
  std::vector<float> back(10, -9.0f);
  QORAudioChannelFold::Fold1To2(mono.data(), back.data(), 5);
  for (size_t f = 0; f < 5; ++f) {
    EXPECT_EQ(back[f * 2], mono[f]);
    EXPECT_EQ(back[f * 2 + 1], mono[f]);
  }
  QORAudioChannelFold::Fold2To1(two.data(), two.data(), 5);
  EXPECT_EQ(std::vector<float>(two.begin(), two.begin() + 5), mono);
}

}  // namespace
