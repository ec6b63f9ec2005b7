// The many-band parametric equaliser: channel routing, the preamp, and glides into gainless
// filters.
#include "TechTestLibrary.h"

namespace {

using namespace techtest;

double LargestStep(const std::vector<float>& samples, size_t from) {
  double largest = 0.0;
  for (size_t i = from + 1; i < samples.size(); ++i) {
    largest = std::max(largest, std::fabs(static_cast<double>(samples[i]) - samples[i - 1]));
  }
  return largest;
}

TEST(QORTechPeq, ABandShapesOnlyItsChannelAndThePreampIsAnExactGain) {
  const Channels input = Sine(3, 4800, 1000.0, 48000, 0.5f);
  const double preamp = std::pow(10.0, -6.02 / 20.0);
  const struct {
    const char* settings;
    double gain[3];  // of each channel, nan: shaped by a band
  } cases[] = {
      {"PEQ-Preamp=-602", {preamp, preamp, preamp}},
      {"PEQ-Preamp=-602,PEQ-Band 7 Type=1,PEQ-Band 7 Gain=900,PEQ-Band 7 Channel=2",
       {preamp, NAN, preamp}},
      {"PEQ-Band 40 Type=6,PEQ-Band 40 Channel=3", {1.0, 1.0, NAN}},
      // At or above half the rate a band is flat; switched off, nothing is touched.
      {"PEQ-Band 1 Type=1,PEQ-Band 1 Gain=1200,PEQ-Band 1 Frequency=2400000", {1.0, 1.0, 1.0}},
      {"PEQ-Enable=0,PEQ-Preamp=-602,PEQ-Band 1 Type=4,PEQ-Band 1 Frequency=10000",
       {1.0, 1.0, 1.0}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.settings);
    auto p = MakeProcess("QOR Parametric EQ", 3, 48000, c.settings);
    ASSERT_NE(p, nullptr);
    Channels audio = input;
    RunBlocks(*p, audio, 480);
    for (int ch = 0; ch < 3; ++ch) {
      // A shaped channel is held against the gain of the others.
      const double gain = std::isnan(c.gain[ch]) ? c.gain[0] : c.gain[ch];
      double worst = 0.0;
      for (size_t i = 0; i < input[ch].size(); ++i) {
        worst = std::max(worst, std::fabs(audio[ch][i] - gain * input[ch][i]));
      }
      if (std::isnan(c.gain[ch])) {
        EXPECT_GT(worst, 0.05) << "channel " << ch + 1 << " is not shaped";
      } else {
        EXPECT_LT(worst, 1e-7) << "channel " << ch + 1;
      }
    }
  }
}

// A low-pass, notch or all-pass switched on while a tone plays fades in instead of cutting the
// tone at once; a peak changed to a shelf passes through flat.
TEST(QORTechPeq, ChangingATypeWhilePlayingGlidesWithoutAStep) {
  constexpr uint32_t kRate = 48000;
  constexpr uint32_t kSwitch = kRate / 10 + 12;  // at the tone's crest
  const struct {
    const char* before;
    const char* after;
  } cases[] = {
      {"", "PEQ-Band 1 Type=4,PEQ-Band 1 Frequency=20000"},
      {"", "PEQ-Band 1 Type=6,PEQ-Band 1 Frequency=100000,PEQ-Band 1 Q=100"},
      {"", "PEQ-Band 1 Type=7,PEQ-Band 1 Frequency=100000"},
      {"PEQ-Band 1 Type=1,PEQ-Band 1 Gain=-2400,PEQ-Band 1 Frequency=100000",
       "PEQ-Band 1 Type=3,PEQ-Band 1 Channel=1"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.after);
    auto p = MakeProcess("QOR Parametric EQ", 1, kRate, c.before);
    Channels audio = Sine(1, kRate / 2, 1000.0, kRate, 0.5f);
    const double natural = LargestStep(audio[0], 0);
    Channels head = {std::vector<float>(audio[0].begin(), audio[0].begin() + kSwitch)};
    RunBlocks(*p, head, 480);
    for (const auto& s : Parse(c.after)) ASSERT_TRUE(p->SetControlInt(s.name.c_str(), s.value));
    Channels rest = {std::vector<float>(audio[0].begin() + kSwitch, audio[0].end())};
    RunBlocks(*p, rest, 480);
    rest[0].insert(rest[0].begin(), head[0].end() - 1, head[0].end());
    EXPECT_LT(LargestStep(rest[0], 0), natural * 1.05);
  }
}

}  // namespace
