// The render processes: ZR3D and LUXSND (equalisers, the shared loudness, bass boost and limiter
// stages, width) and Speaker Protection; with the pure-delay behaviour of every process when off.
#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <cstring>
#include <functional>
#include <limits>
#include <string>

#include "QORTechBiquad.h"
#include "QORTechGraphicEq.h"
#include "QORTechParametricEq.h"
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

TEST(QORTechRender, EqualisersFollowTheirDesignedCurvesAtThirdOctavePoints) {
  const std::array<int32_t, 10> gains = {600, -300, 0, 400, -600, 200, 0, -400, 300, 1200};
  using Eq = QORTechParametricEq;
  const Eq::Band bands[] = {{Eq::kLowShelf, 120.0f, 4.0f, 0.71f},
                            {Eq::kPeak, 1500.0f, -7.0f, 3.0f},
                            {Eq::kHighShelf, 8000.0f, 5.0f, 0.71f}};
  struct Suite {
    const char* id;
    std::vector<Setting> settings;
    std::function<double(double)> designed;
  };
  const Suite suites[] = {
      {"ZR3D", GraphicEq(gains),
       [&](double f) {
         double db = 0.0;
         for (int b = 0; b < 10; ++b) {
           db += QORTechBiquad::MagnitudeDb(
               QORTechBiquad::Peaking(kRate, QORTechGraphicEq::kCenters[b], gains[b] / 100.0,
                                      QORTechGraphicEq::kQ),
               f, kRate);
         }
         return db;
       }},
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
        {"LUXSND-PEQ Band 5 Type", 3},
        {"LUXSND-PEQ Band 5 Gain", 500}},
       [&](double f) {
         double db = 0.0;
         for (const auto& b : bands)
           db += QORTechBiquad::MagnitudeDb(Eq::Design(kRate, b), f, kRate);
         return db;
       }},
  };
  for (const Suite& s : suites) {
    for (int k = -15; k <= 12; ++k) {
      const double freq = 1000.0 * std::pow(2.0, k / 3.0);
      EXPECT_NEAR(MeasuredDb(s.id, s.settings, freq), s.designed(freq), 0.5) << s.id << " " << freq;
    }
  }
  // The design itself: one band lifts its centre by its gain and leaves far bands flat.
  for (auto [gain, freq, expected] : {std::array<double, 3>{600, 1000.0, 6.0},
                                      {600, 40.0, 0.0},
                                      {600, 16000.0, 0.0},
                                      {-1200, 1000.0, -12.0}}) {
    std::array<int32_t, 10> one{};
    one[5] = static_cast<int32_t>(gain);
    EXPECT_NEAR(MeasuredDb("ZR3D", GraphicEq(one), freq), expected, 0.2) << gain << " " << freq;
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
      {"QOR Speaker Protection", {}, "SP-Ceiling", -300, 48000, 12, 0},
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

TEST(QORTechRender, BassBoostRaisesQuietBassButBacksOffBeforeLoudBassClips) {
  for (const std::string id : {"ZR3D", "LUXSND"}) {
    auto p = MakeProcess(id, 2, 48000,
                         {{(id + "-Limiter Enable").c_str(), 0},
                          {(id + "-GravHD Boost Enable").c_str(), 1},
                          {(id + "-GravHD Boost Level").c_str(), 1200}});
    auto quiet = Sine(2, 48000, 40.0, kRate, 0.02f);
    RunBlocks(*p, quiet, 480);
    EXPECT_GT(Db(AmplitudeAt(quiet[0], 24000, 40.0, kRate) / 0.02), 9.0) << id;
    auto loud = Sine(2, 96000, 40.0, kRate, 0.9f);
    RunBlocks(*p, loud, 480);
    EXPECT_LT(MaxAbs(loud[0], 48000), 1.0f) << id;
  }
}

TEST(QORTechRender, LoudnessLevellerMovesQuietAndLoudProgrammeTowardTheTarget) {
  for (const std::string id : {"ZR3D", "LUXSND"}) {
    auto gainDb = [&](float amplitude) {
      auto p = MakeProcess(
          id, 1, 48000,
          {{(id + "-Limiter Enable").c_str(), 0}, {(id + "-AmploHD Enable").c_str(), 1}});
      auto audio = Sine(1, 48000 * 12, 1000.0, kRate, amplitude);
      RunBlocks(*p, audio, 480);
      return Db(AmplitudeAt(audio[0], 48000 * 11, 1000.0, kRate) / amplitude);
    };
    const double quiet = gainDb(0.01f);  // about -43 dBFS RMS: raised by at most 12 dB
    EXPECT_GT(quiet, 8.0) << id;
    EXPECT_LT(quiet, 13.0) << id;
    const double loud = gainDb(0.7f);  // about -6 dBFS RMS: lowered toward -20
    EXPECT_LT(loud, -8.0) << id;
    EXPECT_GT(loud, -12.5) << id;
  }
}

TEST(QORTechRender, StereoWidthScalesTheSideSignal) {
  for (int32_t width : {0, 200}) {
    auto p =
        MakeProcess("ZR3D", 2, 48000, {{"ZR3D-Limiter Enable", 0}, {"ZR3D-Stereo Width", width}});
    auto audio = Sine(2, 24000, 1000.0, kRate, 0.2f);
    std::fill(audio[1].begin(), audio[1].end(), 0.0f);
    RunBlocks(*p, audio, 256);
    EXPECT_NEAR(AmplitudeAt(audio[0], 12000, 1000.0, kRate), width == 0 ? 0.1 : 0.3, 1e-3);
    EXPECT_NEAR(AmplitudeAt(audio[1], 12000, 1000.0, kRate), 0.1, 1e-3);
  }
}

TEST(QORTechRender, SpeakerHighPassRemovesTheExcursionBandAndKeepsTheMidrange) {
  auto level = [](double freq) {
    auto p = MakeProcess("QOR Speaker Protection", 1, 48000, {{"SP-High-Pass Frequency", 100}});
    auto audio = Sine(1, 48000, freq, kRate, 0.1f);
    RunBlocks(*p, audio, 480);
    return Db(AmplitudeAt(audio[0], 24000, freq, kRate) / 0.1);
  };
  EXPECT_LT(level(30.0), -30.0);
  EXPECT_NEAR(level(100.0), -3.0, 0.3);  // Butterworth corner
  EXPECT_NEAR(level(1000.0), 0.0, 0.05);
}

}  // namespace
