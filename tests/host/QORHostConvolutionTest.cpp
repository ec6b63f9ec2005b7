// End-to-end: a mode's configuration names an impulse response file, and the objects play the
// audio through it, each channel with its own response.
#include <cmath>

#include "QORHostGraphicFir.h"
#include "QORHostRunner.h"

namespace {

using qortest::HostAudio;
using qortest::HostResult;

class ConvolutionToolTest : public qortest::HostToolTest {
 protected:
  const char* Configuration() const override {
    configuration_ = R"(<?xml version="1.0"?><qor_configuration><properties>
      <control name="VAPO3-Operating Mode">VAPO3-Music</control>
      <control name="VAPO3-Speaker Type">VAPO3-Speakers</control>
      <control name="VAPO3-Process Enable">1</control></properties>
      <operating_mode><control name="VAPO3-Operating Mode">VAPO3-Music</control>
      <control name="VAPO3-Speaker Type">VAPO3-Speakers</control>
      <control name="CONV-Impulse Response">)" +
                     File("ir.wav") + R"(</control>
      <chain_v2 position="SFX" input="Any" output="Any">
      <process tech_id="QOR Convolution" instance_id="SFX_Conv"/></chain_v2></operating_mode>
      </qor_configuration>)";
    return configuration_.c_str();
  }
  mutable std::string configuration_;
};

TEST_F(ConvolutionToolTest, TheModesResponseFileShapesEachChannel) {
  // Left: half the level; right: ten frames later.
  HostAudio response{2, 48000, std::vector<float>(2 * 11, 0.0f)};
  response.samples[0] = 0.5f;
  response.samples[2 * 10 + 1] = 1.0f;
  ASSERT_TRUE(qortest::WriteHostAudio(File("ir.wav"), response));
  const HostAudio tone = qortest::Tones({1000.0}, 0.4, 1.0);
  ASSERT_TRUE(qortest::WriteHostAudio(File("tone.wav"), tone));
  const HostResult result = Run({"process", File("tone.wav"), File("out.wav"), "--json"});
  ASSERT_EQ(result.code, 0) << result.err;
  EXPECT_EQ(result.Json()["output"]["latency_frames"], 0);
  const HostAudio out = qortest::ReadHostAudio(File("out.wav"));
  ASSERT_GE(out.Frames(), tone.Frames());
  double worst = 0.0;
  for (size_t n = 10; n < tone.Frames(); ++n) {
    worst = std::max(worst, std::fabs(out.samples[2 * n] - 0.5 * tone.samples[2 * n]));
    worst =
        std::max<double>(worst, std::fabs(out.samples[2 * n + 1] - tone.samples[2 * (n - 10) + 1]));
  }
  EXPECT_LT(worst, 1e-6);
}

TEST_F(ConvolutionToolTest, AGraphicCurveWrittenAsAMinimumPhaseFilterIsHeardAsTheCurve) {
  // Points of an AutoEQ-like curve; each tone sits on one, or halfway between two on a log axis
  // (316 Hz: 3 dB).
  const std::vector<QORHostGraphicFir::Point> curve = {
      {20, 6.0}, {100, 6.0}, {1000, 0.0}, {3000, -4.0}, {4000, 0.0}, {12000, 2.0}, {20000, 0.0}};
  const struct {
    double hz;
    double db;
  } tones[] = {{50.0, 6.0}, {std::sqrt(100.0 * 1000.0), 3.0}, {3000.0, -4.0}, {12000.0, 2.0}};
  std::vector<float> fir;
  std::string error;
  ASSERT_TRUE(
      QORHostGraphicFir::Design(curve, 48000, QORHostGraphicFir::DefaultTaps(48000), &fir, &error))
      << error;
  ASSERT_TRUE(QORHostGraphicFir::WriteWav(File("ir.wav"), fir, 48000, 2, &error)) << error;
  std::vector<double> hz;
  for (const auto& tone : tones) hz.push_back(tone.hz);
  ASSERT_TRUE(qortest::WriteHostAudio(File("tones.wav"), qortest::Tones(hz, 0.1, 1.5)));
  const HostResult result = Run({"process", File("tones.wav"), File("out.wav")});
  ASSERT_EQ(result.code, 0) << result.err;
  const HostAudio out = qortest::ReadHostAudio(File("out.wav"));
  // Past the filter's 85 ms, over a whole number of seconds' worth of the lowest tone.
  for (const auto& tone : tones) {
    EXPECT_NEAR(qortest::ToneDb(out, tone.hz, 0.1, 0.25, 1.25), tone.db, 0.5) << tone.hz << " Hz";
  }
}

}  // namespace
