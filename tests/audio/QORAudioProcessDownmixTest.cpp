#include "audio/QORAudioProcessDownmix.h"

#include <gtest/gtest.h>

#include <vector>

#include "AudioTestSupport.h"
#include "audio/QORAudioChannelFold.h"

namespace {

using qortest::Ramp;
using qortest::RunPeriod;
using Floats = std::vector<float>;

// Single-precision results of the fold in its order: the two channels summed, scaled by 0.707f,
// then the front channel added. (0.1, -2, 0.3, x, 0.9, 0.125) differs in double precision or with
// the scale distributed, and (0.1, 0.5) when both channels are scaled before the sum.
TEST(QORAudioProcessDownmix, FoldsEachFrameAtItsOwnStrideOrLeavesItAlone) {
  using D = QORAudioProcessDownmix;
  const struct {
    uint32_t mode, channels;
    Floats input, expected;
  } cases[] = {
      {D::kMode51ToFront,
       6,
       {1, 2, 3, 4, 5, 6, 0.1f, -2, 0.3f, 9, 0.9f, 0.125f},
       {6.65600014f, 8.36299992f, 0, 0, 0, 0, 0.94840008f, -1.699525f, 0, 0, 0, 0}},
      {D::kMode51ToFront, 8, Ramp(8), {6.65600014f, 8.36299992f, 0, 0, 0, 0, 7, 8}},
      {D::kModeStereoToLeft, 2, {0.5f, 0.5f, 0.1f, 0.5f}, {0.707000017f, 0, 0.424200028f, 0}},
      {D::kModeStereoToLeft, 3, {0.3f, -1, 4}, {-0.494900018f, 0, 4}},
      {D::kModeLeftToRight, 2, {0.25f, -1, 0.5f, 2}, {0.25f, 0.25f, 0.5f, 0.5f}},
      {D::kModeLeftToRight, 3, Ramp(6), {1, 1, 3, 4, 4, 6}},
      // Too few channels or no mode: untouched.
      {D::kMode51ToFront, 5, Ramp(10), Ramp(10)},
      {D::kModeStereoToLeft, 1, {0.5f, 0.25f}, {0.5f, 0.25f}},
      {D::kModeNone, 2, {0.5f, 0.25f}, {0.5f, 0.25f}},
      {7, 2, {0.5f, 0.25f}, {0.5f, 0.25f}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << "mode " << c.mode << ", " << c.channels << " channels");
    QORAudioProcessDownmix downmix(c.mode);
    EXPECT_EQ(RunPeriod(downmix, c.input, c.channels), c.expected);
  }
  QORAudioProcessDownmix bypassed(D::kModeStereoToLeft);
  bypassed.EnableBypass(true);
  EXPECT_EQ(RunPeriod(bypassed, {0.5f, 0.25f}, 2), Floats({0.5f, 0.25f}));
}

// A fold is made only toward a narrower output: a stereo fold into the left channel before a
// stereo output, or a 5.1 fold before a 5.1 output, would only silence channels the output plays.
TEST(QORAudioProcessDownmix, FoldsAreChosenTowardANarrowerOutputOnly) {
  using D = QORAudioProcessDownmix;
  const struct {
    const char* element;
    uint32_t input, output;
    std::vector<uint32_t> modes;
  } cases[] = {
      {"Downmix", 2, 2, {}},
      {"Downmix", 2, 1, {D::kModeStereoToLeft}},
      {"Downmix", 4, 2, {D::kMode51ToFront}},
      {"Downmix", 8, 2, {D::kMode51ToFront}},
      {"Downmix", 4, 1, {D::kMode51ToFront, D::kModeStereoToLeft}},
      {"Downmix", 4, 4, {}},
      {"Downmix", 8, 8, {}},
      {"Downmix", 1, 2, {}},
      {"Downmix", 16, 2, {}},
      {"Upmix", 1, 2, {D::kModeLeftToRight}},
      {"Upmix", 2, 2, {}},
      {"downmix", 2, 1, {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << c.element << " " << c.input << " to " << c.output);
    uint32_t modes[2] = {};
    const uint32_t count = D::ModesFor(c.element, c.input, c.output, modes);
    EXPECT_EQ(std::vector<uint32_t>(modes, modes + count), c.modes);
  }
}

TEST(QORAudioChannelFold, ConvertsBetweenChannelCountsAlsoInPlace) {
  // Five frames (more than one step of four); the LFE channel is loud and plays no part.
  Floats six = {1,    2,    3,    1000,  5,    6,       //
                0.1f, -2,   0.3f, 1000,  0.9f, 0.125f,  //
                0.5f, 0.5f, 0,    -1000, 0,    0,       //
                0.1f, 0.5f, 0,    1000,  0,    0,       //
                0.3f, -1,   0,    1000,  0,    0};
  const Floats two = {6.65600014f, 8.36299992f, 0.94840008f, -1.699525f, 0.5f,
                      0.5f,        0.1f,        0.5f,        0.3f,       -1};
  const Floats mono = {10.618433f, -0.531045318f, 0.707000017f, 0.424200028f, -0.494900018f};
  Floats out(10, -9.0f);
  QORAudioChannelFold::Fold6To2(six.data(), out.data(), 5);
  EXPECT_EQ(out, two);
  QORAudioChannelFold::Fold2To1(two.data(), out.data(), 5);
  EXPECT_EQ(Floats(out.begin(), out.begin() + 5), mono);
  QORAudioChannelFold::Fold1To2(mono.data(), out.data(), 5);
  EXPECT_EQ(out, Floats({mono[0], mono[0], mono[1], mono[1], mono[2], mono[2], mono[3], mono[3],
                         mono[4], mono[4]}));
  QORAudioChannelFold::Fold6To2(six.data(), six.data(), 5);
  EXPECT_EQ(Floats(six.begin(), six.begin() + 10), two);
  Floats inPlace = two;
  QORAudioChannelFold::Fold2To1(inPlace.data(), inPlace.data(), 5);
  EXPECT_EQ(Floats(inPlace.begin(), inPlace.begin() + 5), mono);
}

}  // namespace
