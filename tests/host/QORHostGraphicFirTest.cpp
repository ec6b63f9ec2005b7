// A graphic equaliser curve as a minimum-phase FIR: its magnitude measured here by a direct DFT
// against the curve's points, its energy at the front, flat curves as a Dirac, the WAV it is
// written as, and the curves it refuses.
#include <gtest/gtest.h>
#include <sndfile.h>
#include <unistd.h>

#include <cmath>
#include <complex>
#include <filesystem>
#include <numbers>

#include "QORHostGraphicFir.h"

namespace {

using Point = QORHostGraphicFir::Point;

// Like AutoEQ's curves: a bass shelf of 6 dB, a dip at 3 kHz, a bump at 12 kHz, a roll-off.
const std::vector<Point> kCurve = {{20, 6.0},    {100, 6.0},   {1000, 0.0}, {2000, 0.0},
                                   {3000, -4.0}, {4000, 0.0},  {8000, 0.0}, {12000, 2.0},
                                   {16000, 0.0}, {20000, -3.0}};

// |H(f)| in dB by the DFT's sum at f.
double MagnitudeDb(const std::vector<float>& fir, double frequency, int rate) {
  std::complex<double> sum;
  for (size_t n = 0; n < fir.size(); ++n) {
    sum += static_cast<double>(fir[n]) *
           std::polar(1.0, -2.0 * std::numbers::pi * frequency * static_cast<double>(n) / rate);
  }
  return 20.0 * std::log10(std::abs(sum));
}

TEST(GraphicFirTest, TheMagnitudeFollowsTheCurveAtEveryRate) {
  for (const int rate : {44100, 48000, 96000}) {
    SCOPED_TRACE(std::to_string(rate) + " Hz");
    const int taps = QORHostGraphicFir::DefaultTaps(rate);
    // 4096 at 48 kHz, as many milliseconds at the others.
    EXPECT_NEAR(taps, 4096.0 * rate / 48000, 0.5);
    std::vector<float> fir;
    std::string error;
    ASSERT_TRUE(QORHostGraphicFir::Design(kCurve, rate, taps, &fir, &error)) << error;
    ASSERT_EQ(fir.size(), static_cast<size_t>(taps));
    for (size_t i = 0; i < kCurve.size(); ++i) {
      const Point& point = kCurve[i];
      EXPECT_NEAR(MagnitudeDb(fir, point.frequency, rate), point.gainDb, 0.5)
          << point.frequency << " Hz";
      if (i + 1 == kCurve.size()) continue;
      // Halfway on a log axis the gain is halfway in dB (100 to 1000 Hz: 3 dB at 316 Hz, where a
      // linear axis would give 4.6).
      const Point& next = kCurve[i + 1];
      const double middle = std::sqrt(point.frequency * next.frequency);
      EXPECT_NEAR(MagnitudeDb(fir, middle, rate), (point.gainDb + next.gainDb) / 2.0, 0.5)
          << middle << " Hz";
    }
    // Constant past either end.
    EXPECT_NEAR(MagnitudeDb(fir, 10.0, rate), 6.0, 0.5);
    EXPECT_NEAR(MagnitudeDb(fir, 21000.0, rate), -3.0, 0.5);
  }
}

TEST(GraphicFirTest, ItIsMinimumPhaseItsEnergyFirst) {
  std::vector<float> fir;
  std::string error;
  ASSERT_TRUE(QORHostGraphicFir::Design(kCurve, 48000, 4096, &fir, &error)) << error;
  double total = 0.0;
  double front = 0.0;
  for (size_t n = 0; n < fir.size(); ++n) {
    total += static_cast<double>(fir[n]) * fir[n];
    if (n < fir.size() / 10) front += static_cast<double>(fir[n]) * fir[n];
  }
  EXPECT_GE(front, 0.9 * total);
  // The first tap of a minimum-phase filter is the geometric mean of its magnitude, here within a
  // few dB of 0 dB over most of the band: nothing like the near-zero start of a linear-phase one.
  EXPECT_GT(fir[0], 0.5f);
  // Faded out: the last tap is silent.
  EXPECT_EQ(fir.back(), 0.0f);
}

TEST(GraphicFirTest, AFlatCurveIsADiracAndPointsPastHalfTheRateShapeNothing) {
  const struct {
    const char* name;
    std::vector<Point> points;
    int rate;
    double gain;  // of the Dirac
  } cases[] = {
      {"flat at 0 dB", {{20, 0.0}, {20000, 0.0}}, 48000, 1.0},
      {"flat at 6 dB", {{20, 6.0}, {1000, 6.0}, {20000, 6.0}}, 48000, std::pow(10.0, 6.0 / 20)},
      // Taken, the point at 30 kHz would lift 20 kHz and above.
      {"a lift past half the rate",
       {{20, 0.0}, {1000, 0.0}, {20000, 0.0}, {30000, 12.0}},
       44100,
       1.0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<float> fir;
    std::string error;
    ASSERT_TRUE(QORHostGraphicFir::Design(c.points, c.rate, 1024, &fir, &error)) << error;
    ASSERT_EQ(fir.size(), 1024u);
    EXPECT_NEAR(fir[0], c.gain, 1e-6 * c.gain);
    double worst = 0.0;
    for (size_t n = 1; n < fir.size(); ++n) worst = std::max(worst, std::fabs(double{fir[n]}));
    EXPECT_LE(worst, 1e-6 * c.gain);
  }
}

TEST(GraphicFirTest, CurvesItCannotDesignAreRefusedWithTheReason) {
  const double nan = std::nan("");
  const struct {
    std::vector<Point> points;
    int rate;
    int taps;
    const char* error;
  } cases[] = {
      {{}, 48000, 4096, "a graphic curve needs at least 2 points, it has 0"},
      {{{1000, 0.0}}, 48000, 4096, "a graphic curve needs at least 2 points, it has 1"},
      {{{20, 0.0}, {20, 1.0}},
       48000,
       4096,
       "point 2: 20 Hz does not rise above the point before (20 Hz)"},
      {{{20, 0.0}, {100, 1.0}, {50, 0.0}},
       48000,
       4096,
       "point 3: 50 Hz does not rise above the point before (100 Hz)"},
      {{{0, 0.0}, {100, 1.0}}, 48000, 4096, "point 1: the frequency must be above 0 Hz"},
      {{{20, 0.0}, {100, nan}}, 48000, 4096, "point 2 (100 Hz): the gain is not a number"},
      {{{24000, 0.0}, {30000, 1.0}},
       48000,
       4096,
       "no point of the curve lies below 24000 Hz, half the rate"},
      {{{20, 0.0}, {100, 1.0}},
       48000,
       15,
       "a filter needs a rate above 0 Hz and at least 16 taps (rate 48000, 15 taps)"},
      {{{20, 0.0}, {100, 1.0}},
       0,
       4096,
       "a filter needs a rate above 0 Hz and at least 16 taps (rate 0, 4096 taps)"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.error);
    std::vector<float> fir = {0.25f};
    std::string error;
    EXPECT_FALSE(QORHostGraphicFir::Design(c.points, c.rate, c.taps, &fir, &error));
    EXPECT_EQ(error, c.error);
  }
}

TEST(GraphicFirTest, TheWavHoldsTheTapsAsFloatsInEveryChannel) {
  const std::filesystem::path path = std::filesystem::temp_directory_path() /
                                     ("qor-graphic-" + std::to_string(::getpid()) + ".wav");
  // Values a 16-bit or 24-bit file could not keep exactly.
  const std::vector<float> fir = {0.9f, -0.3333333f, 1e-7f, 0.0f, 2.5e-3f};
  std::string error;
  ASSERT_TRUE(QORHostGraphicFir::WriteWav(path.string(), fir, 44100, 2, &error)) << error;
  SF_INFO info{};
  SNDFILE* file = sf_open(path.string().c_str(), SFM_READ, &info);
  ASSERT_NE(file, nullptr);
  EXPECT_EQ(info.format, SF_FORMAT_WAV | SF_FORMAT_FLOAT);
  EXPECT_EQ(info.samplerate, 44100);
  EXPECT_EQ(info.channels, 2);
  ASSERT_EQ(info.frames, 5);
  std::vector<float> samples(10);
  EXPECT_EQ(sf_readf_float(file, samples.data(), 5), 5);
  sf_close(file);
  std::filesystem::remove(path);
  EXPECT_EQ(samples, (std::vector<float>{0.9f, 0.9f, -0.3333333f, -0.3333333f, 1e-7f, 1e-7f, 0.0f,
                                         0.0f, 2.5e-3f, 2.5e-3f}));

  const struct {
    std::string path;
    std::vector<float> fir;
    int channels;
    std::string error;  // its beginning
  } refusals[] = {
      {"/nonexistent/dir/ir.wav", fir, 2, "cannot write /nonexistent/dir/ir.wav: "},
      {path.string(), {}, 2, "nothing to write to " + path.string() + " (0 taps, 2 channels"},
      {path.string(), fir, 0, "nothing to write to " + path.string() + " (5 taps, 0 channels"},
  };
  for (const auto& r : refusals) {
    EXPECT_FALSE(QORHostGraphicFir::WriteWav(r.path, r.fir, 44100, r.channels, &error));
    EXPECT_EQ(error.substr(0, r.error.size()), r.error);
  }
  EXPECT_FALSE(std::filesystem::exists(path));
}

}  // namespace
