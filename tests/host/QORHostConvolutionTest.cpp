// End-to-end: a mode's configuration names an impulse response file, and the objects play the
// audio through it, each channel with its own response.
#include <cmath>
#include <complex>
#include <memory>

#include "QORHostGraphicFir.h"
#include "QORHostRunner.h"
#include "common/QORTextConvert.h"
#include "engine/QORHostEngineSetup.h"

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
  // None of its own at its own rate; but the endpoint keeps one latency at every rate, and at
  // 44.1 kHz the converted response comes the converter's remaining delay late: under 3 ms.
  const int64_t latency = result.Json()["output"]["latency_frames"];
  EXPECT_LT(latency, 48000 * 3 / 1000);
  const HostAudio out = qortest::ReadHostAudio(File("out.wav"));
  ASSERT_GE(static_cast<int64_t>(out.Frames()), static_cast<int64_t>(tone.Frames()) + latency);
  double worst = 0.0;
  for (size_t n = 10; n < tone.Frames(); ++n) {
    const size_t at = n + static_cast<size_t>(latency);
    worst = std::max(worst, std::fabs(out.samples[2 * at] - 0.5 * tone.samples[2 * n]));
    worst = std::max<double>(worst,
                             std::fabs(out.samples[2 * at + 1] - tone.samples[2 * (n - 10) + 1]));
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

// |H(f)| in dB of taps at rate, by the DFT's sum.
double ResponseDb(const std::vector<double>& taps, double hz, int rate) {
  std::complex<double> sum;
  for (size_t n = 0; n < taps.size(); ++n) {
    sum += taps[n] * std::polar(1.0, -2.0 * std::numbers::pi * hz * static_cast<double>(n) / rate);
  }
  return 20.0 * std::log10(std::abs(sum));
}

// The engine's objects running a 48 kHz response when the stream moves to 44.1 kHz: they are
// unlocked and locked again at the new rate, as the audio engine does at a format change, and
// build their chain there; the convolution then plays the file's response converted to 44.1 kHz
// (within 0.1 dB of the file's own), with no silence and nothing but finite samples across the
// change.
TEST_F(ConvolutionToolTest, AfterARateChangeTheResponseIsTheFilesAtTheNewRate) {
  // A Dirac and a resonance at 2 kHz (9.5 dB, about 80 Hz wide), 0.1 s long: played unconverted
  // at 44.1 kHz its peak would sit at 1.84 kHz, and without the taps scaled it would be 0.7 dB
  // loud.
  std::vector<double> file(4800);
  for (size_t n = 0; n < file.size(); ++n) {
    file[n] = (n == 0 ? 1.0 : 0.0) + 0.02 * std::pow(0.995, static_cast<double>(n)) *
                                         std::cos(2.0 * std::numbers::pi * 2000.0 * n / 48000);
  }
  HostAudio response{1, 48000, std::vector<float>(file.begin(), file.end())};
  ASSERT_TRUE(qortest::WriteHostAudio(File("ir.wav"), response));
  for (size_t n = 0; n < file.size(); ++n) file[n] = response.samples[n];

  QORAPOEndpointInfo endpoint;
  ASSERT_TRUE(QORHostEngineSetup::RenderEndpoint(0, &endpoint));
  const std::wstring module = QORUtf8ToWide(qortest::BuiltModule("qlvapo64").string());
  std::string error;
  std::unique_ptr<QORHostEngine> engine = QORHostEngineSetup::Start(
      endpoint, QORHostEngineSetup::DefaultLocations(endpoint), module, 2, 48000, 480, &error);
  ASSERT_NE(engine, nullptr) << error;
  const int64_t latency48 = engine->LatencyFrames();

  // Stereo periods of rate / 100 through the engine: a tone (1 and 5 kHz), then for 44.1 kHz
  // silence and an impulse whose answer is kept.
  std::vector<float> played;
  const auto play = [&](const std::vector<float>& input) {
    const uint32_t period = static_cast<uint32_t>(engine->Rate() / 100);
    for (size_t offset = 0; offset < input.size() / 2; offset += period) {
      const auto frames =
          static_cast<uint32_t>(std::min<size_t>(period, input.size() / 2 - offset));
      const float* out = engine->Process(input.data() + 2 * offset, frames, false);
      played.insert(played.end(), out, out + 2 * frames);
    }
  };
  const auto tone = [](int rate, double seconds) {
    std::vector<float> samples(2 * static_cast<size_t>(seconds * rate));
    for (size_t n = 0; n < samples.size() / 2; ++n) {
      const double t = static_cast<double>(n) / rate;
      samples[2 * n] = samples[2 * n + 1] =
          static_cast<float>(0.2 * std::sin(2.0 * std::numbers::pi * 1000.0 * t) +
                             0.2 * std::sin(2.0 * std::numbers::pi * 5000.0 * t));
    }
    return samples;
  };
  play(tone(48000, 0.5));
  const size_t change = played.size() / 2;
  engine->Unlock();
  ASSERT_TRUE(engine->Negotiate(2, 44100, &error)) << error;
  ASSERT_TRUE(engine->Lock(441, &error)) << error;
  engine->ContinueAfterPause();
  // One latency, the converted response's, at either rate: the same time within a frame.
  EXPECT_GT(engine->LatencyFrames(), 0);
  EXPECT_NEAR(static_cast<double>(engine->LatencyFrames()) / 44100,
              static_cast<double>(latency48) / 48000, 1.0 / 44100);
  std::vector<float> input = tone(44100, 0.5);
  const size_t impulse = input.size() / 2 + 44100 / 5;
  input.resize(2 * (impulse + 44100 / 4), 0.0f);
  input[2 * impulse] = input[2 * impulse + 1] = 1.0f;
  play(input);
  engine->Unlock();

  // Nothing but finite samples, and no gap: every 5 ms of the tone from 0.1 s before the change
  // to 0.4 s after it is within 3 dB of the tone's level before it (about 0.2, the response being
  // near 0 dB at 1 and 5 kHz).
  EXPECT_EQ(std::count_if(played.begin(), played.end(), [](float x) { return !std::isfinite(x); }),
            0);
  const auto rms = [&](size_t from, size_t frames) {
    double sum = 0.0;
    for (size_t n = from; n < from + frames; ++n) sum += double{played[2 * n]} * played[2 * n];
    return std::sqrt(sum / static_cast<double>(frames));
  };
  const double steady = rms(change - 4800, 4800);
  EXPECT_NEAR(steady, 0.2, 0.01);
  for (size_t from = change - 4800; from + 240 <= change; from += 240) {
    EXPECT_NEAR(qortest::Db(rms(from, 240) / steady), 0.0, 3.0) << "48 kHz, frame " << from;
  }
  for (size_t from = change; from + 220 <= change + 17640; from += 220) {
    EXPECT_NEAR(qortest::Db(rms(from, 220) / steady), 0.0, 3.0) << "44.1 kHz, frame " << from;
  }
  for (int c = 0; c < 2; ++c) {
    std::vector<double> heard;
    for (size_t n = change + impulse; n < played.size() / 2; ++n)
      heard.push_back(played[2 * n + c]);
    for (const double hz :
         {100.0, 1000.0, 1900.0, 1960.0, 2000.0, 2040.0, 2100.0, 3000.0, 8000.0, 16000.0}) {
      EXPECT_NEAR(ResponseDb(heard, hz, 44100), ResponseDb(file, hz, 48000), 0.1)
          << "channel " << c << ", " << hz << " Hz";
    }
  }
}

}  // namespace
