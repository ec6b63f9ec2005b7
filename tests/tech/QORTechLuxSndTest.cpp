#include <gtest/gtest.h>

#include <cmath>

#include "QORTechParametricEq.h"
#include "TechTestLibrary.h"

namespace {

using namespace techtest;

ProcessPtr MakeLux() {
  auto p = MakeProcess("LUXSND", 2, 48000);
  EXPECT_TRUE(p->SetControlInt("LUXSND-Limiter Enable", 0));
  EXPECT_TRUE(p->SetControlString("LUXSND-GEQ Enable", "On"));
  EXPECT_TRUE(p->SetControlString("LUXSND-PEQ Band 1 Type", "Low Shelf"));
  EXPECT_TRUE(p->SetControlInt("LUXSND-PEQ Band 1 Frequency", 120));
  EXPECT_TRUE(p->SetControlInt("LUXSND-PEQ Band 1 Gain", 400));
  EXPECT_TRUE(p->SetControlString("LUXSND-PEQ Band 3 Type", "Peak"));
  EXPECT_TRUE(p->SetControlInt("LUXSND-PEQ Band 3 Frequency", 1500));
  EXPECT_TRUE(p->SetControlInt("LUXSND-PEQ Band 3 Gain", -700));
  EXPECT_TRUE(p->SetControlInt("LUXSND-PEQ Band 3 Q", 300));
  EXPECT_TRUE(p->SetControlInt("LUXSND-PEQ Band 5 Type", 3));
  EXPECT_TRUE(p->SetControlInt("LUXSND-PEQ Band 5 Gain", 500));
  return p;
}

TEST(QORTechLuxSnd, ParametricBandsFollowTheirDesignedCurve) {
  using Eq = QORTechParametricEq;
  const Eq::Band bands[] = {{Eq::kLowShelf, 120.0f, 4.0f, 0.71f},
                            {Eq::kPeak, 1500.0f, -7.0f, 3.0f},
                            {Eq::kHighShelf, 8000.0f, 5.0f, 0.71f}};
  for (int k = -15; k <= 12; ++k) {
    const double freq = 1000.0 * std::pow(2.0, k / 3.0);
    double designed = 0.0;
    for (const auto& b : bands) {
      designed += QORTechBiquad::MagnitudeDb(Eq::Design(48000.0, b), freq, 48000.0);
    }
    auto p = MakeLux();
    auto audio = Sine(2, 48000, freq, 48000.0, 0.05f);
    RunBlocks(*p, audio, 480);
    EXPECT_NEAR(Db(AmplitudeAt(audio[0], 24000, freq, 48000.0) / 0.05), designed, 0.5) << freq;
  }
}

TEST(QORTechLuxSnd, BandTypesAreEnumeratedWithTheirNames) {
  auto p = MakeLux();
  const TechControlDesc* descs = nullptr;
  const int32_t count = p->GetControlInfo(&descs);
  const TechControlDesc* type = nullptr;
  for (int32_t i = 0; i < count; ++i) {
    if (std::string(descs[i].name) == "LUXSND-PEQ Band 1 Type") type = &descs[i];
  }
  ASSERT_NE(type, nullptr);
  EXPECT_EQ(type->type, kTechControlEnumerated);
  ASSERT_EQ(type->valueNameCount, 4u);
  EXPECT_STREQ(type->valueNames[2], "Low Shelf");
  const char* text = nullptr;
  ASSERT_TRUE(p->GetControlString("LUXSND-PEQ Band 1 Type", &text));
  EXPECT_STREQ(text, "Low Shelf");
  EXPECT_FALSE(p->SetControlString("LUXSND-PEQ Band 1 Type", "Notch"));
  EXPECT_FALSE(p->SetControlInt("LUXSND-PEQ Band 1 Type", 4));
  int32_t v = 0;
  for (const char* name :
       {"LUXSND-GEQ Enable", "LUXSND-AmploHD Enable", "LUXSND-GravHD Boost Enable"}) {
    EXPECT_TRUE(p->GetControlInt(name, &v)) << name;
  }
}

}  // namespace
