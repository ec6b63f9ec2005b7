// The render processes' equalisers and limiters.
#include <complex>

#include "TechTestLibrary.h"

namespace {

using namespace techtest;

constexpr double kRate = 48000.0;

// The standard second-order designs (the audio-EQ cookbook), written out here so that the
// measured curves are held to them and not to the library's own design. Returns the gain in dB
// at freq of the section with b0, b1, b2, a0, a1, a2.
double SectionDb(const std::array<double, 6>& s, double freq) {
  const std::complex<double> z1 = std::polar(1.0, -2.0 * std::numbers::pi * freq / kRate);
  return Db(std::abs((s[0] + s[1] * z1 + s[2] * z1 * z1) / (s[3] + s[4] * z1 + s[5] * z1 * z1)));
}

std::array<double, 6> Peak(double f0, double gainDb, double q) {
  const double a = std::pow(10.0, gainDb / 40.0), w0 = 2.0 * std::numbers::pi * f0 / kRate;
  const double alpha = std::sin(w0) / (2.0 * q);
  return {1.0 + alpha * a, -2.0 * std::cos(w0), 1.0 - alpha * a,
          1.0 + alpha / a, -2.0 * std::cos(w0), 1.0 - alpha / a};
}

// Shelves of slope 1: alpha = sin(w0) / 2 * sqrt((A + 1/A) (1/S - 1) + 2) with S = 1. The high
// shelf is the low one with the signs of the odd cosine terms turned.
std::array<double, 6> Shelf(bool high, double f0, double gainDb) {
  const double a = std::pow(10.0, gainDb / 40.0), w0 = 2.0 * std::numbers::pi * f0 / kRate;
  const double c = high ? -std::cos(w0) : std::cos(w0), h = high ? -1.0 : 1.0;
  const double k = 2.0 * std::sqrt(a) * std::sin(w0) / 2.0 * std::sqrt(2.0);
  return {a * ((a + 1) - (a - 1) * c + k),  h * 2 * a * ((a - 1) - (a + 1) * c),
          a * ((a + 1) - (a - 1) * c - k),  (a + 1) + (a - 1) * c + k,
          h * -2 * ((a - 1) + (a + 1) * c), (a + 1) + (a - 1) * c - k};
}

TEST(QORTechRender, EqualisersFollowTheStandardCurvesAtThirdOctavePoints) {
  // Ten octave bands from 31.25 Hz, Q 1.41.
  const int32_t gains[] = {600, -300, 0, 400, -600, 200, 0, -400, 300, 1200};
  std::string graphic = "ZR3D-Limiter Enable=0,ZR3D-GEQ Enable=1";
  std::vector<std::array<double, 6>> graphicSections;
  for (int b = 0; b < 10; ++b) {
    graphic += ",ZR3D-GEQ Band " + std::to_string(b + 1) + "=" + std::to_string(gains[b]);
    if (gains[b] != 0) graphicSections.push_back(Peak(31.25 * (1 << b), gains[b] / 100.0, 1.41));
  }
  const struct {
    const char* id;
    std::string settings;
    std::vector<std::array<double, 6>> sections;
  } suites[] = {
      {"ZR3D", graphic, graphicSections},
      {"LUXSND",  // the high shelf at its default 8000 Hz
       "LUXSND-Limiter Enable=0,LUXSND-GEQ Enable=1,LUXSND-PEQ Band 1 Type=2,"
       "LUXSND-PEQ Band 1 Frequency=120,LUXSND-PEQ Band 1 Gain=400,LUXSND-PEQ Band 3 Type=1,"
       "LUXSND-PEQ Band 3 Frequency=1500,LUXSND-PEQ Band 3 Gain=-700,LUXSND-PEQ Band 3 Q=300,"
       "LUXSND-PEQ Band 5 Type=3,LUXSND-PEQ Band 5 Gain=500",
       {Shelf(false, 120.0, 4.0), Peak(1500.0, -7.0, 3.0), Shelf(true, 8000.0, 5.0)}},
  };
  for (const auto& s : suites) {
    for (int k = -15; k <= 12; ++k) {
      const double freq = 1000.0 * std::pow(2.0, k / 3.0);
      double expected = 0.0;
      for (const auto& section : s.sections) expected += SectionDb(section, freq);
      // A 0.05 sine, measured over the second half second.
      auto p = MakeProcess(s.id, 2, 48000, s.settings);
      auto audio = Sine(2, 48000, freq, kRate, 0.05f);
      RunBlocks(*p, audio, 480);
      EXPECT_NEAR(Db(AmplitudeAt(audio[1], 24000, freq, kRate) / 0.05), expected, 0.3)
          << s.id << " " << freq;
    }
  }
}

// A loud low tone falls from each crest for longer than the look-ahead window, so the required
// gains rise through a whole window: the limiter must still lower the gain smoothly rather than
// leave the crests to the final clamp, which clips.
TEST(QORTechRender, LimiterGainStaysSmoothWhileRequiredGainsRiseThroughAWholeWindow) {
  for (const uint32_t rate : {8000u, 48000u}) {
    SCOPED_TRACE(rate);
    auto p = MakeProcess("ZR3D", 1, rate);  // only the limiter works: -1 dB ceiling
    const uint32_t latency = p->GetLatency();
    auto audio = Sine(1, rate, 37.0, rate, 1.0f);
    const std::vector<float> input = audio[0];
    RunBlocks(*p, audio, rate / 100);
    // The gain applied to each input sample near the crests, half a second in.
    float worstStep = 0.0f;
    float previous = -1.0f;
    for (uint32_t i = rate / 2; i + latency < rate; ++i) {
      if (std::fabs(input[i]) < 0.5f) {
        previous = -1.0f;
        continue;
      }
      const float gain = audio[0][i + latency] / input[i];
      if (previous >= 0.0f) worstStep = std::max(worstStep, std::fabs(gain - previous));
      previous = gain;
    }
    // The attack spreads the 11 % of reduction over the 13-sample window at 8000 Hz (at most
    // 0.3 % a sample measured); leaving crests to the clamp moved it by 0.8 %.
    EXPECT_LT(worstStep, 0.005f);
  }
}

TEST(QORTechRender, LimitersHoldTheCeilingOnFullScaleSquaresAndImpulses) {
  const char* zr3dBoosts =
      "ZR3D-GEQ Enable=1,ZR3D-GEQ Band 1=1200,ZR3D-GEQ Band 4=1200,ZR3D-GEQ Band 9=1200,"
      "ZR3D-AmploHD Enable=1,ZR3D-GravHD Boost Enable=1,ZR3D-Stereo Width=200";
  const struct {
    const char* id;
    const char* settings;
    const char* ceilingControl;
    int32_t ceiling;  // hundredths of a dB
    uint32_t rate, channels, block;
  } cases[] = {
      {"ZR3D", zr3dBoosts, "ZR3D-Limiter Ceiling", -100, 44100, 2, 441},
      {"ZR3D", zr3dBoosts, "ZR3D-Limiter Ceiling", -600, 44100, 2, 441},
      {"QOR Speaker Protection", "", "SP-Ceiling", -300, 8000, 1, 0},
      {"QOR Speaker Protection", "", "SP-Ceiling", -300, 192000, 12, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << c.id << " " << c.ceiling << " at " << c.rate);
    auto p = MakeProcess(c.id, c.channels, c.rate, c.settings);
    ASSERT_TRUE(p->SetControlInt(c.ceilingControl, c.ceiling));
    const double lookAhead = c.id[0] == 'Q' ? 0.002 : 0.0015;
    EXPECT_EQ(p->GetLatency(), static_cast<uint32_t>(std::lround(lookAhead * c.rate)));
    // 50 Hz and 441 Hz squares in turn across the channels for a second, then sparse impulses.
    Channels audio(c.channels, std::vector<float>(2 * c.rate, 0.0f));
    for (uint32_t ch = 0; ch < c.channels; ++ch) {
      const uint32_t half = (ch % 2 ? c.rate / 100 : c.rate / 882) + ch;
      for (uint32_t i = 0; i < c.rate; ++i) audio[ch][i] = (i / half) % 2 ? 1.0f : -1.0f;
      for (uint32_t i = c.rate + ch; i < 2 * c.rate; i += 61 + ch) {
        audio[ch][i] = i % 3 ? 1.0f : -1.0f;
      }
    }
    RunBlocks(*p, audio, c.block);
    const float ceiling = std::pow(10.0f, c.ceiling / 2000.0f);
    for (uint32_t ch = 0; ch < c.channels; ++ch) EXPECT_LE(MaxAbs(audio[ch]), ceiling) << ch;
    EXPECT_GT(MaxAbs(audio[0]), ceiling * 0.9f);  // limiting, not muting
  }
}

// Switched on with a burst already in its look-ahead after silence, a limiter gives exactly what
// one that was on all along gives: the delayed samples are limited, not left to the final clamp.
// Switched off, its gain releases and then it is the delay alone, to the bit.
TEST(QORTechRender, LimitersSwitchOnWithTheirLookAheadReadAndOffToThePlainDelay) {
  const struct {
    const char* id;
    const char* enable;
    uint32_t rate;
  } cases[] = {
      {"ZR3D", "ZR3D-Limiter Enable", 8000},
      {"ZR3D", "ZR3D-Limiter Enable", 48000},
      {"LUXSND", "LUXSND-Limiter Enable", 44100},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << c.id << " at " << c.rate);
    const uint32_t block = c.rate / 100;
    auto always = MakeProcess(c.id, 2, c.rate);
    auto later = MakeProcess(c.id, 2, c.rate, std::string(c.enable) + "=0");
    const uint32_t latency = always->GetLatency();
    // Silence, then a full-scale 1 kHz burst starting latency / 2 frames before the switch.
    Channels audio(2, std::vector<float>(c.rate, 0.0f));
    const uint32_t at = 10 * block;
    for (uint32_t i = at - latency / 2; i < c.rate / 2; ++i) {
      audio[0][i] = static_cast<float>(std::sin(2 * std::numbers::pi * 1000.0 * i / c.rate));
      audio[1][i] = -audio[0][i];
    }
    const Channels input = audio;
    Channels expected = audio;
    RunBlocks(*always, expected, block);
    Channels head(2), tail(2);
    for (int ch = 0; ch < 2; ++ch) {
      head[ch].assign(audio[ch].begin(), audio[ch].begin() + at);
      tail[ch].assign(audio[ch].begin() + at, audio[ch].end());
    }
    RunBlocks(*later, head, block);
    // Off, the burst's first frames come through delayed and untouched.
    for (uint32_t i = latency; i < at; ++i) ASSERT_EQ(head[0][i], input[0][i - latency]) << i;
    ASSERT_TRUE(later->SetControlInt(c.enable, 1));
    RunBlocks(*later, tail, block);
    // Within double rounding of the running window sum (-120 dB); the clamp's clipping of the
    // burst differed by a tenth of full scale.
    for (uint32_t i = 0; i < tail[0].size(); ++i) {
      ASSERT_NEAR(tail[0][i], expected[0][at + i], 1e-6) << i;
      ASSERT_NEAR(tail[1][i], expected[1][at + i], 1e-6) << i;
    }
    // Off again after limiting: a second of release, then the delay alone.
    ASSERT_TRUE(later->SetControlInt(c.enable, 0));
    Channels loud = Sine(2, 2 * c.rate, 997.0, c.rate, 1.0f);
    const Channels loudInput = loud;
    RunBlocks(*later, loud, block);
    for (uint32_t i = c.rate; i < 2 * c.rate; ++i) {
      ASSERT_EQ(loud[0][i], loudInput[0][i - latency]) << i;
    }
  }
}

}  // namespace
