#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <cstring>

#include "QORTechBiquad.h"
#include "QORTechGraphicEq.h"
#include "TechTestLibrary.h"

namespace {

using namespace techtest;

constexpr double kRate = 48000.0;

ProcessPtr MakeEq(const std::array<int32_t, 10>& gains) {
  auto p = MakeProcess("ZR3D", 2, 48000);
  EXPECT_TRUE(p->SetControlInt("ZR3D-Limiter Enable", 0));
  EXPECT_TRUE(p->SetControlString("ZR3D-GEQ Enable", "On"));
  for (int b = 0; b < 10; ++b) {
    const std::string name = "ZR3D-GEQ Band " + std::to_string(b + 1);
    EXPECT_TRUE(p->SetControlInt(name.c_str(), gains[b]));
  }
  return p;
}

double MeasuredDb(const std::array<int32_t, 10>& gains, double freq) {
  auto p = MakeEq(gains);
  auto audio = Sine(2, 48000, freq, kRate, 0.05f);
  const auto input = audio[0];
  RunBlocks(*p, audio, 480);
  const size_t from = 24000;
  return Db(AmplitudeAt(audio[1], from, freq, kRate) / AmplitudeAt(input, from, freq, kRate));
}

double DesignedDb(const std::array<int32_t, 10>& gains, double freq) {
  double db = 0.0;
  for (int b = 0; b < 10; ++b) {
    db += QORTechBiquad::MagnitudeDb(QORTechBiquad::Peaking(kRate, QORTechGraphicEq::kCenters[b],
                                                            gains[b] / 100.0, QORTechGraphicEq::kQ),
                                     freq, kRate);
  }
  return db;
}

TEST(QORTechZR3D, EqualiserFollowsItsDesignedCurveAtThirdOctavePoints) {
  const std::array<int32_t, 10> gains = {600, -300, 0, 400, -600, 200, 0, -400, 300, 1200};
  for (int k = -15; k <= 12; ++k) {
    const double freq = 1000.0 * std::pow(2.0, k / 3.0);
    EXPECT_NEAR(MeasuredDb(gains, freq), DesignedDb(gains, freq), 0.5) << freq << " Hz";
  }
}

TEST(QORTechZR3D, OneBandBoostsItsCentreByItsGainAndLeavesFarBandsFlat) {
  std::array<int32_t, 10> gains{};
  gains[5] = 600;  // 1 kHz
  EXPECT_NEAR(MeasuredDb(gains, 1000.0), 6.0, 0.1);
  EXPECT_NEAR(MeasuredDb(gains, 40.0), 0.0, 0.1);
  EXPECT_NEAR(MeasuredDb(gains, 16000.0), 0.0, 0.1);
  gains[5] = -1200;
  EXPECT_NEAR(MeasuredDb(gains, 1000.0), -12.0, 0.2);
}

TEST(QORTechZR3D, WithEffectsOffTheOutputIsTheInputDelayedByTheDeclaredLatency) {
  auto p = MakeProcess("ZR3D", 2, 48000);
  const uint32_t latency = p->GetLatency();
  EXPECT_EQ(latency, 72u);  // 1.5 ms look-ahead
  // Band gains alone do nothing while the equaliser is off.
  ASSERT_TRUE(p->SetControlInt("ZR3D-GEQ Band 4", 900));
  auto audio = Sine(2, 4800, 440.0, kRate, 0.5f);
  audio[1][100] = 0.8f;
  const Channels input = audio;
  RunBlocks(*p, audio, 100);
  for (int c = 0; c < 2; ++c) {
    for (size_t i = 0; i < latency; ++i) ASSERT_EQ(audio[c][i], 0.0f);
    ASSERT_EQ(0, std::memcmp(audio[c].data() + latency, input[c].data(),
                             (input[c].size() - latency) * sizeof(float)));
  }
}

TEST(QORTechZR3D, LimiterHoldsTheCeilingOnFullScaleSquaresAndImpulsesWithAllBoostsOn) {
  for (int32_t ceilingHundredths : {-100, -600}) {
    auto p = MakeProcess("ZR3D", 2, 44100);
    ASSERT_TRUE(p->SetControlInt("ZR3D-Limiter Ceiling", ceilingHundredths));
    ASSERT_TRUE(p->SetControlInt("ZR3D-GEQ Enable", 1));
    for (int b = 1; b <= 10; ++b) {
      ASSERT_TRUE(p->SetControlInt(("ZR3D-GEQ Band " + std::to_string(b)).c_str(), 1200));
    }
    ASSERT_TRUE(p->SetControlInt("ZR3D-AmploHD Enable", 1));
    ASSERT_TRUE(p->SetControlInt("ZR3D-GravHD Boost Enable", 1));
    ASSERT_TRUE(p->SetControlInt("ZR3D-Stereo Width", 200));
    Channels audio(2, std::vector<float>(44100 * 2, 0.0f));
    for (size_t i = 0; i < 44100; ++i) {
      audio[0][i] = (i / 50) % 2 ? 1.0f : -1.0f;   // 441 Hz square
      audio[1][i] = (i / 441) % 2 ? 1.0f : -1.0f;  // 50 Hz square
    }
    for (size_t i = 44100; i < audio[0].size(); i += 997) audio[i % 2][i] = i % 3 ? 1.0f : -1.0f;
    RunBlocks(*p, audio, 441);
    const float ceiling = std::pow(10.0f, ceilingHundredths / 2000.0f);
    EXPECT_LE(MaxAbs(audio[0]), ceiling);
    EXPECT_LE(MaxAbs(audio[1]), ceiling);
    EXPECT_GT(MaxAbs(audio[0]), ceiling * 0.9f);  // limiting, not muting
  }
}

TEST(QORTechZR3D, BassBoostRaisesQuietBassButBacksOffBeforeLoudBassClips) {
  auto p = MakeProcess("ZR3D", 2, 48000);
  ASSERT_TRUE(p->SetControlInt("ZR3D-Limiter Enable", 0));
  ASSERT_TRUE(p->SetControlString("ZR3D-GravHD Boost Enable", "On"));
  ASSERT_TRUE(p->SetControlInt("ZR3D-GravHD Boost Level", 1200));
  auto quiet = Sine(2, 48000, 40.0, kRate, 0.02f);
  RunBlocks(*p, quiet, 480);
  EXPECT_GT(Db(AmplitudeAt(quiet[0], 24000, 40.0, kRate) / 0.02), 9.0);

  auto loud = Sine(2, 96000, 40.0, kRate, 0.9f);
  RunBlocks(*p, loud, 480);
  EXPECT_LT(MaxAbs(loud[0], 48000), 1.0f);
}

TEST(QORTechZR3D, LoudnessLevellerMovesQuietAndLoudProgrammeTowardTheTarget) {
  auto gainDb = [](float amplitude) {
    auto p = MakeProcess("ZR3D", 1, 48000);
    EXPECT_TRUE(p->SetControlInt("ZR3D-Limiter Enable", 0));
    EXPECT_TRUE(p->SetControlInt("ZR3D-AmploHD Enable", 1));
    auto audio = Sine(1, 48000 * 12, 1000.0, kRate, amplitude);
    RunBlocks(*p, audio, 480);
    return Db(AmplitudeAt(audio[0], 48000 * 11, 1000.0, kRate) / amplitude);
  };
  const double quiet = gainDb(0.01f);  // about -43 dBFS RMS: raised by at most 12 dB
  EXPECT_GT(quiet, 8.0);
  EXPECT_LT(quiet, 13.0);
  const double loud = gainDb(0.7f);  // about -6 dBFS RMS: lowered toward -20
  EXPECT_LT(loud, -8.0);
  EXPECT_GT(loud, -12.5);
}

TEST(QORTechZR3D, StereoWidthScalesTheSideSignal) {
  for (int32_t width : {0, 200}) {
    auto p = MakeProcess("ZR3D", 2, 48000);
    ASSERT_TRUE(p->SetControlInt("ZR3D-Limiter Enable", 0));
    ASSERT_TRUE(p->SetControlInt("ZR3D-Stereo Width", width));
    auto audio = Sine(2, 24000, 1000.0, kRate, 0.2f);
    std::fill(audio[1].begin(), audio[1].end(), 0.0f);
    RunBlocks(*p, audio, 256);
    const double left = AmplitudeAt(audio[0], 12000, 1000.0, kRate);
    const double right = AmplitudeAt(audio[1], 12000, 1000.0, kRate);
    EXPECT_NEAR(left, width == 0 ? 0.1 : 0.3, 1e-3);
    EXPECT_NEAR(right, width == 0 ? 0.1 : 0.1, 1e-3);
  }
}

}  // namespace
