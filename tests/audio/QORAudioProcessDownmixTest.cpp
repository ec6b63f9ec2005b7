#include <gtest/gtest.h>

#include <vector>

#include "AudioTestSupport.h"
#include "audio/QORAudioChannelFold.h"
#include "audio/QORAudioProcessDownmix.h"

namespace {

using qortest::Ramp;
using qortest::RunPeriod;
using Floats = std::vector<float>;

// Single precision: the sum first, then the scale, then the front channel. The inputs below are
// chosen so that another order or double precision gives a different float.
float Front(float front, float centre, float surround) {
  const float sum = centre + surround;
  const float scaled = 0.707f * sum;
  return front + scaled;
}
float Mono(float left, float right) {
  const float sum = left + right;
  return sum * 0.707f;
}

TEST(QORAudioProcessDownmix, FoldsEachFrameAtItsOwnStrideOrLeavesItAlone) {
  using D = QORAudioProcessDownmix;
  struct Case {
    uint32_t mode, channels;
    Floats input, expected;
  };
  const Case cases[] = {
      {D::kMode51ToFront,
       6,
       {2, 0.5f, 3, 4, 6, 0.25f, 0.1f, -2, 0.3f, 9, 0.9f, 0.125f},
       {Front(2, 3, 6), Front(0.5f, 3, 0.25f), 0, 0, 0, 0, Front(0.1f, 0.3f, 0.9f),
        Front(-2, 0.3f, 0.125f), 0, 0, 0, 0}},
      {D::kMode51ToFront, 8, Ramp(8), {Front(1, 3, 5), Front(2, 3, 6), 0, 0, 0, 0, 7, 8}},
      {D::kModeStereoToLeft, 2, {0.5f, 0.5f, 0.1f, 0.5f}, {0.707f, 0, Mono(0.1f, 0.5f), 0}},
      {D::kModeStereoToLeft, 3, {0.3f, -1, 4}, {Mono(0.3f, -1), 0, 4}},
      {D::kModeLeftToRight, 2, {0.25f, -1, 0.5f, 2}, {0.25f, 0.25f, 0.5f, 0.5f}},
      {D::kModeLeftToRight, 3, Ramp(6), {1, 1, 3, 4, 4, 6}},
      // Too few channels or no mode: untouched.
      {D::kMode51ToFront, 5, Ramp(10), Ramp(10)},
      {D::kModeStereoToLeft, 1, {0.5f, 0.25f}, {0.5f, 0.25f}},
      {D::kModeNone, 2, {0.5f, 0.25f}, {0.5f, 0.25f}},
      {7, 2, {0.5f, 0.25f}, {0.5f, 0.25f}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "mode " << c.mode << ", " << c.channels << " channels");
    QORAudioProcessDownmix downmix(c.mode);
    EXPECT_EQ(RunPeriod(downmix, c.input, c.channels), c.expected);
  }
  QORAudioProcessDownmix bypassed(D::kModeStereoToLeft);
  bypassed.EnableBypass(true);
  EXPECT_EQ(RunPeriod(bypassed, {0.5f, 0.25f}, 2), Floats({0.5f, 0.25f}));
}

TEST(QORAudioChannelFold, ConvertsBetweenChannelCountsAlsoInPlace) {
  // Five frames (more than one step of four); channel 3 (LFE) is loud and plays no part.
  Floats six(30);
  for (size_t i = 0; i < six.size(); ++i) six[i] = i % 6 == 3 ? 1000.0f : 0.1f * i;
  Floats two(10, -9.0f), mono(5, -9.0f), back(10, -9.0f);
  QORAudioChannelFold::Fold6To2(six.data(), two.data(), 5);
  QORAudioChannelFold::Fold2To1(two.data(), mono.data(), 5);
  QORAudioChannelFold::Fold1To2(mono.data(), back.data(), 5);
  for (size_t f = 0; f < 5; ++f) {
    const float* in = &six[f * 6];
    EXPECT_EQ(two[f * 2], Front(in[0], in[2], in[4])) << f;
    EXPECT_EQ(two[f * 2 + 1], Front(in[1], in[2], in[5])) << f;
    EXPECT_EQ(mono[f], Mono(two[f * 2], two[f * 2 + 1])) << f;
    EXPECT_EQ(back[f * 2], mono[f]) << f;
    EXPECT_EQ(back[f * 2 + 1], mono[f]) << f;
  }
  QORAudioChannelFold::Fold6To2(six.data(), six.data(), 5);
  EXPECT_EQ(Floats(six.begin(), six.begin() + 10), two);
  QORAudioChannelFold::Fold2To1(two.data(), two.data(), 5);
  EXPECT_EQ(Floats(two.begin(), two.begin() + 5), mono);
}

}  // namespace
