#include <gtest/gtest.h>

#include <cmath>

#include "TechTestLibrary.h"

namespace {

using namespace techtest;

TEST(QORTechNUV, SurroundFoldsIntoBothEarsAndOtherChannelsFallSilent) {
  auto p = MakeProcess("NUV", 6, 48000, {{"NUV-Process Enable", 1}});
  Channels audio(6, std::vector<float>(4800, 0.0f));
  for (int c = 2; c < 6; ++c) audio[c][2000] = 0.5f;  // centre, LFE, both surrounds
  audio[4][3000] = 1.0f;                              // surround left only
  RunBlocks(*p, audio, 480);
  for (int c = 2; c < 6; ++c) EXPECT_EQ(MaxAbs(audio[c]), 0.0f) << c;
  EXPECT_GT(audio[0][2000], 0.5f);  // centre + LFE + surround arrive at once
  EXPECT_GT(audio[0][3000], 0.4f);
  EXPECT_GT(MaxAbs(audio[1], 3001), 0.01f);  // and the far ear later
}

}  // namespace
