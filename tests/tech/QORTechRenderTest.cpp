// The render processes' equalisers and limiters, and the pure-delay behaviour of every process
// when off.
#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <complex>
#include <cstring>
#include <limits>
#include <numbers>
#include <string>

#include "TechTestLibrary.h"

namespace {

using namespace techtest;

constexpr double kRate = 48000.0;

// Gain in dB at freq of a 0.05 sine, measured over the second half second.
double MeasuredDb(const std::string& id, const std::vector<Setting>& settings, double freq) {
  auto p = MakeProcess(id, 2, 48000, settings);
  auto audio = Sine(2, 48000, freq, kRate, 0.05f);
  RunBlocks(*p, audio, 480);
  return Db(AmplitudeAt(audio[1], 24000, freq, kRate) / 0.05);
}

std::vector<Setting> GraphicEq(const std::array<int32_t, 10>& gains) {
  static const std::array<std::string, 10> names = [] {
    std::array<std::string, 10> n;
    for (int b = 0; b < 10; ++b) n[b] = "ZR3D-GEQ Band " + std::to_string(b + 1);
    return n;
  }();
  std::vector<Setting> s{{"ZR3D-Limiter Enable", 0}, {"ZR3D-GEQ Enable", 1}};
  for (int b = 0; b < 10; ++b) s.push_back({names[b].c_str(), gains[b]});
  return s;
}

// The standard second-order designs (the audio-EQ cookbook), written out here so that the
// measured curves are held to them and not to the library's own design.
struct Section {
  double b0, b1, b2, a0, a1, a2;
};

Section CookbookPeak(double f0, double gainDb, double q) {
  const double a = std::pow(10.0, gainDb / 40.0);
  const double w0 = 2.0 * std::numbers::pi * f0 / kRate;
  const double alpha = std::sin(w0) / (2.0 * q);
  return {1.0 + alpha * a, -2.0 * std::cos(w0), 1.0 - alpha * a,
          1.0 + alpha / a, -2.0 * std::cos(w0), 1.0 - alpha / a};
}

// Shelves of slope 1: alpha = sin(w0) / 2 * sqrt((A + 1/A) (1/S - 1) + 2) with S = 1.
Section CookbookShelf(bool high, double f0, double gainDb) {
  const double a = std::pow(10.0, gainDb / 40.0);
  const double w0 = 2.0 * std::numbers::pi * f0 / kRate;
  const double c = std::cos(w0);
  const double alpha = std::sin(w0) / 2.0 * std::sqrt(2.0);
  const double k = 2.0 * std::sqrt(a) * alpha;
  if (!high) {
    return {a * ((a + 1) - (a - 1) * c + k), 2 * a * ((a - 1) - (a + 1) * c),
            a * ((a + 1) - (a - 1) * c - k), (a + 1) + (a - 1) * c + k,
            -2 * ((a - 1) + (a + 1) * c),    (a + 1) + (a - 1) * c - k};
  }
  return {a * ((a + 1) + (a - 1) * c + k), -2 * a * ((a - 1) + (a + 1) * c),
          a * ((a + 1) + (a - 1) * c - k), (a + 1) - (a - 1) * c + k,
          2 * ((a - 1) - (a + 1) * c),     (a + 1) - (a - 1) * c - k};
}

double SectionDb(const Section& s, double freq) {
  const std::complex<double> z1 = std::polar(1.0, -2.0 * std::numbers::pi * freq / kRate);
  const std::complex<double> z2 = z1 * z1;
  return 20.0 *
         std::log10(std::abs((s.b0 + s.b1 * z1 + s.b2 * z2) / (s.a0 + s.a1 * z1 + s.a2 * z2)));
}

TEST(QORTechRender, EqualisersFollowTheStandardCurvesAtThirdOctavePoints) {
  // Ten octave bands from 31.25 Hz, Q 1.41.
  const double centres[] = {31.25, 62.5, 125, 250, 500, 1000, 2000, 4000, 8000, 16000};
  const std::array<int32_t, 10> gains = {600, -300, 0, 400, -600, 200, 0, -400, 300, 1200};
  struct Suite {
    const char* id;
    std::vector<Setting> settings;
    std::vector<Section> sections;
  };
  std::vector<Section> graphic;
  for (int b = 0; b < 10; ++b) {
    if (gains[b] != 0) graphic.push_back(CookbookPeak(centres[b], gains[b] / 100.0, 1.41));
  }
  const Suite suites[] = {
      {"ZR3D", GraphicEq(gains), graphic},
      {"LUXSND",
       {{"LUXSND-Limiter Enable", 0},
        {"LUXSND-GEQ Enable", 1},
        {"LUXSND-PEQ Band 1 Type", 2},
        {"LUXSND-PEQ Band 1 Frequency", 120},
        {"LUXSND-PEQ Band 1 Gain", 400},
        {"LUXSND-PEQ Band 3 Type", 1},
        {"LUXSND-PEQ Band 3 Frequency", 1500},
        {"LUXSND-PEQ Band 3 Gain", -700},
        {"LUXSND-PEQ Band 3 Q", 300},
        {"LUXSND-PEQ Band 5 Type", 3},  // at its default 8000 Hz
        {"LUXSND-PEQ Band 5 Gain", 500}},
       {CookbookShelf(false, 120.0, 4.0), CookbookPeak(1500.0, -7.0, 3.0),
        CookbookShelf(true, 8000.0, 5.0)}},
  };
  for (const Suite& s : suites) {
    for (int k = -15; k <= 12; ++k) {
      const double freq = 1000.0 * std::pow(2.0, k / 3.0);
      double expected = 0.0;
      for (const Section& section : s.sections) expected += SectionDb(section, freq);
      EXPECT_NEAR(MeasuredDb(s.id, s.settings, freq), expected, 0.3) << s.id << " " << freq;
    }
  }
}

TEST(QORTechRender, OffIsAPureDelayOfTheDeclaredLatencyAndPassthroughIsBitExact) {
  struct Case {
    const char* id;
    uint32_t channels;
    std::vector<Setting> settings;  // off, with effect settings that must not act
    uint32_t latency;
    uint32_t block;
  };
  const Case cases[] = {
      {"ZR3D", 2, {{"ZR3D-GEQ Band 4", 900}, {"ZR3D-AmploHD Target Level", -1000}}, 72, 100},
      {"LUXSND", 2, {{"LUXSND-PEQ Band 2 Type", 1}, {"LUXSND-PEQ Band 2 Gain", 900}}, 72, 441},
      {"QOR Speaker Protection", 2, {{"SP-Enable", 0}}, 96, 128},
      {"NUV", 6, {{"NUV-Crossfeed Level", -300}}, 0, 480},
      {"QOR Passthrough", 12, {}, 0, 333},
      {"QOR AEC/NR", 1, {{"AECNR-NR Enable", 0}}, 480, 480},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.id);
    auto p = MakeProcess(c.id, c.channels, 48000, c.settings);
    ASSERT_EQ(p->GetLatency(), c.latency);
    auto audio = Sine(c.channels, 4800, 440.0, kRate, 0.85f);  // above the speaker's -3 dB ceiling
    audio.back()[100] = -0.88f;
    audio[0][200] = -0.0f;
    if (c.latency == 0) audio[0][201] = std::numeric_limits<float>::denorm_min();
    const Channels input = audio;
    RunBlocks(*p, audio, c.block);
    for (uint32_t ch = 0; ch < c.channels; ++ch) {
      EXPECT_EQ(MaxAbs(std::vector<float>(audio[ch].begin(), audio[ch].begin() + c.latency)), 0.0f);
      EXPECT_EQ(0, std::memcmp(audio[ch].data() + c.latency, input[ch].data(),
                               (input[ch].size() - c.latency) * sizeof(float)));
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
  const std::vector<Setting> zr3dBoosts = {
      {"ZR3D-GEQ Enable", 1},    {"ZR3D-GEQ Band 1", 1200},  {"ZR3D-GEQ Band 4", 1200},
      {"ZR3D-GEQ Band 9", 1200}, {"ZR3D-AmploHD Enable", 1}, {"ZR3D-GravHD Boost Enable", 1},
      {"ZR3D-Stereo Width", 200}};
  struct Case {
    const char* id;
    std::vector<Setting> settings;
    const char* ceilingControl;
    int32_t ceiling;  // hundredths of a dB
    uint32_t rate;
    uint32_t channels;
    uint32_t block;
  };
  const Case cases[] = {
      {"ZR3D", zr3dBoosts, "ZR3D-Limiter Ceiling", -100, 44100, 2, 441},
      {"ZR3D", zr3dBoosts, "ZR3D-Limiter Ceiling", -600, 44100, 2, 441},
      {"QOR Speaker Protection", {}, "SP-Ceiling", -300, 8000, 1, 0},
      {"QOR Speaker Protection", {}, "SP-Ceiling", -300, 192000, 12, 0},
  };
  for (const Case& c : cases) {
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
      for (uint32_t i = c.rate + ch; i < 2 * c.rate; i += 61 + ch)
        audio[ch][i] = i % 3 ? 1.0f : -1.0f;
    }
    RunBlocks(*p, audio, c.block);
    const float ceiling = std::pow(10.0f, c.ceiling / 2000.0f);
    for (uint32_t ch = 0; ch < c.channels; ++ch) EXPECT_LE(MaxAbs(audio[ch]), ceiling) << ch;
    EXPECT_GT(MaxAbs(audio[0]), ceiling * 0.9f);  // limiting, not muting
  }
}

}  // namespace
