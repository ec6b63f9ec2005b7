// The response measurement, by itself on known systems and end to end through `qorapo plot`.
#include <nlohmann/json.hpp>
#include <regex>

#include "QORHostResponse.h"
#include "QORHostRunner.h"

namespace {

namespace fs = std::filesystem;
using qortest::HostResult;

TEST(HostResponse, AScaledDelayedCopyIsFlatAndItsDelayIsTakenOutOfThePhaseOnlyWhenReported) {
  const std::vector<double> frequencies = QORHostResponse::LogFrequencies(20.0, 20000.0, 31);
  ASSERT_EQ(frequencies.size(), 31u);
  EXPECT_DOUBLE_EQ(frequencies.front(), 20.0);
  EXPECT_DOUBLE_EQ(frequencies.back(), 20000.0);
  EXPECT_NEAR(frequencies[10], 200.0, 1e-9);  // ten to a decade
  for (const auto signal : {QORHostResponse::Signal::kImpulse, QORHostResponse::Signal::kSweep}) {
    const std::vector<float> input = QORHostResponse::Excitation(signal, 48000, 0.25);
    ASSERT_FALSE(input.empty());
    // Half the level, 37 frames later.
    std::vector<float> output(input.size() + 37 + 2000, 0.0f);
    for (size_t n = 0; n < input.size(); ++n) output[n + 37] = 0.5f * input[n];
    for (const long long reported : {37LL, 0LL}) {
      const auto points =
          QORHostResponse::TransferFunction(input, output, 48000, reported, frequencies);
      ASSERT_EQ(points.size(), frequencies.size());
      for (const auto& point : points) {
        EXPECT_NEAR(point.db, -6.0206, 0.01) << point.hz;
        // Unreported, the delay stays in the phase: -360 degrees x f x 37 / rate, wrapped.
        double expected = reported == 37 ? 0.0 : -360.0 * point.hz * 37.0 / 48000.0;
        expected = std::remainder(expected, 360.0);
        EXPECT_NEAR(std::remainder(point.phaseDeg - expected, 360.0), 0.0, 0.5) << point.hz;
      }
    }
  }
}

TEST(HostResponse, TheSweepCoversTheAudioBandAtTheAskedPeakAndFadesAtItsEnds) {
  const std::vector<float> sweep =
      QORHostResponse::Excitation(QORHostResponse::Signal::kSweep, 48000, 0.5);
  ASSERT_EQ(sweep.size(), 48000u);
  float peak = 0.0f;
  for (const float s : sweep) peak = std::max(peak, std::fabs(s));
  EXPECT_NEAR(peak, 0.5f, 1e-3);
  EXPECT_EQ(sweep.front(), 0.0f);
  EXPECT_NEAR(sweep.back(), 0.0f, 1e-6);
  EXPECT_EQ(QORHostResponse::Excitation(QORHostResponse::Signal::kImpulse, 48000, 0.5),
            std::vector<float>{0.5f});
}

// A configuration whose Music mode lifts one graphic-EQ band (1 kHz) by 6 dB and does nothing
// else, and whose Movie mode cuts it by 6 dB.
constexpr char kEqConfiguration[] = R"(<?xml version="1.0" encoding="UTF-8"?>
<qor_configuration>
  <properties>
    <control name="VAPO3-Operating Mode">VAPO3-Music</control>
    <control name="VAPO3-Speaker Type">VAPO3-Speakers</control>
    <control name="VAPO3-Process Enable">1</control>
  </properties>
  <operating_mode>
    <control name="VAPO3-Operating Mode">VAPO3-Music</control>
    <control name="VAPO3-Speaker Type">VAPO3-Speakers</control>
    <control name="ZR3D-GEQ Enable" public="true">1</control>
    <control name="ZR3D-GEQ Band 6">600</control>
    <control name="ZR3D-Limiter Enable">0</control>
    <chain_v2 position="SFX" input="Any" output="Any">
      <process tech_id="ZR3D" instance_id="SFX_Main"/>
    </chain_v2>
  </operating_mode>
  <operating_mode>
    <control name="VAPO3-Operating Mode">VAPO3-Movie</control>
    <control name="VAPO3-Speaker Type">VAPO3-Speakers</control>
    <control name="ZR3D-GEQ Enable" public="true">1</control>
    <control name="ZR3D-GEQ Band 6">-600</control>
    <control name="ZR3D-Limiter Enable">0</control>
    <chain_v2 position="SFX" input="Any" output="Any">
      <process tech_id="ZR3D" instance_id="SFX_Main"/>
    </chain_v2>
  </operating_mode>
</qor_configuration>
)";

class HostPlotTest : public qortest::HostToolTest {
 protected:
  void SetUp() override {
    HostToolTest::SetUp();
    std::ofstream(File("eq.xml")) << kEqConfiguration;
    SetUpDemo({"--config", File("eq.xml")});
  }

  nlohmann::json Plot(std::vector<std::string> args) {
    args.insert(args.begin(), "plot");
    args.push_back("--json");
    const HostResult result = Run(args);
    EXPECT_EQ(result.code, 0) << result.err;
    try {
      return nlohmann::json::parse(result.out);
    } catch (const std::exception& error) {
      ADD_FAILURE() << error.what() << "\n" << result.out;
      return {};
    }
  }

  // The point nearest hz on a curve.
  static const nlohmann::json& Near(const nlohmann::json& curve, double hz) {
    const nlohmann::json* best = &curve["points"][0];
    for (const auto& point : curve["points"]) {
      if (std::fabs(std::log(point["hz"].get<double>() / hz)) <
          std::fabs(std::log((*best)["hz"].get<double>() / hz))) {
        best = &point;
      }
    }
    return *best;
  }
};

TEST_F(HostPlotTest, ABandLiftedBySixDecibelsMeasuresSixAtItsCentreWithEitherExcitation) {
  for (const char* signal : {"sweep", "impulse"}) {
    SCOPED_TRACE(signal);
    const nlohmann::json json =
        Plot({"--mode", "Music", "--position", "SFX", "--signal", signal, "--points", "121"});
    ASSERT_EQ(json["curves"].size(), 1u);
    const nlohmann::json& curve = json["curves"][0];
    EXPECT_EQ(curve["mode"], "Music/Speakers");
    EXPECT_NE(curve["chain"].get<std::string>().find("ZR3D"), std::string::npos) << curve["chain"];
    EXPECT_EQ(curve["latency_frames"], 72);
    EXPECT_EQ(curve["points"].size(), 121u);
    EXPECT_EQ(json["position"], "SFX");
    EXPECT_EQ(json["rate"], 48000);
    const nlohmann::json& centre = Near(curve, 1000.0);
    EXPECT_NEAR(centre["hz"].get<double>(), 1000.0, 30.0);
    EXPECT_NEAR(centre["db"].get<double>(), 6.0, 0.5);
    // A peak filter has no phase shift at its centre once the chain's delay is taken out.
    EXPECT_NEAR(centre["phase_deg"].get<double>(), 0.0, 5.0);
    EXPECT_NEAR(Near(curve, 60.0)["db"].get<double>(), 0.0, 0.5);
    EXPECT_NEAR(Near(curve, 16000.0)["db"].get<double>(), 0.0, 0.5);
  }
}

TEST_F(HostPlotTest, ABypassedChainIsFlatAndAComparedModeIsDrawnBesideTheFirst) {
  const nlohmann::json bypassed = Plot({"--set", "VAPO3-Process Enable=0", "--phase"});
  ASSERT_EQ(bypassed["curves"].size(), 1u);
  for (const auto& point : bypassed["curves"][0]["points"]) {
    EXPECT_NEAR(point["db"].get<double>(), 0.0, 0.1) << point["hz"];
    EXPECT_NEAR(point["phase_deg"].get<double>(), 0.0, 1.0) << point["hz"];
  }
  // The switch was put back: the same measurement without it shows the band again.
  const nlohmann::json both = Plot({"--mode", "Music", "--compare", "Movie"});
  ASSERT_EQ(both["curves"].size(), 2u);
  EXPECT_EQ(both["curves"][0]["mode"], "Music/Speakers");
  EXPECT_EQ(both["curves"][1]["mode"], "Movie/Speakers");
  EXPECT_NEAR(Near(both["curves"][0], 1000.0)["db"].get<double>(), 6.0, 0.5);
  EXPECT_NEAR(Near(both["curves"][1], 1000.0)["db"].get<double>(), -6.0, 0.5);
  // And so was the mode: without --mode the current one, Music, is measured.
  const nlohmann::json current = Plot({});
  EXPECT_EQ(current["curves"][0]["mode"], "Music/Speakers");

  const HostResult csv = Run({"plot", "--compare", "Movie", "--points", "50", "--csv"});
  ASSERT_EQ(csv.code, 0) << csv.err;
  std::istringstream lines(csv.out);
  std::string line;
  std::getline(lines, line);
  EXPECT_EQ(line, "mode,hz,db,phase_deg");
  int rows = 0;
  while (std::getline(lines, line)) {
    ++rows;
    EXPECT_TRUE(
        std::regex_match(line, std::regex("(Music|Movie)/Speakers,[0-9.]+,-?[0-9.]+,-?[0-9.]+")))
        << line;
  }
  EXPECT_EQ(rows, 100);
}

uint32_t BigEndian(const std::string& bytes, size_t at) {
  uint32_t value = 0;
  for (size_t i = 0; i < 4; ++i) value = value << 8 | static_cast<uint8_t>(bytes[at + i]);
  return value;
}

TEST_F(HostPlotTest, PicturesAreValidPngAndSvgOfTheAskedSize) {
  const HostResult png = Run({"plot", File("music.png"), "--compare", "Movie", "--phase", "--width",
                              "640", "--height", "360"});
  ASSERT_EQ(png.code, 0) << png.err;
  const std::string bytes = qortest::SlurpFile(File("music.png"));
  ASSERT_GT(bytes.size(), 33u);
  EXPECT_EQ(bytes.substr(0, 8), std::string("\x89PNG\r\n\x1a\n", 8));
  EXPECT_EQ(bytes.substr(12, 4), "IHDR");
  EXPECT_EQ(BigEndian(bytes, 16), 640u);
  EXPECT_EQ(BigEndian(bytes, 20), 360u);

  const HostResult svg =
      Run({"plot", File("music.svg"), "--width", "500", "--height", "300", "--signal", "impulse"});
  ASSERT_EQ(svg.code, 0) << svg.err;
  const std::string text = qortest::SlurpFile(File("music.svg"));
  std::smatch root;
  ASSERT_TRUE(std::regex_search(text, root, std::regex("<svg[^>]*>"))) << text.substr(0, 400);
  const std::string tag = root[0];
  EXPECT_NE(tag.find("width=\"500px\""), std::string::npos) << tag;
  EXPECT_NE(tag.find("height=\"300px\""), std::string::npos) << tag;
  EXPECT_NE(text.find("</svg>"), std::string::npos);
  // Only the two pictures: nothing temporary is left beside them.
  EXPECT_EQ(std::distance(fs::directory_iterator(files_), fs::directory_iterator()), 3);
}

TEST_F(HostPlotTest, MistakesAreUsageErrorsAndFailuresSayWhatToDoAndDrawNothing) {
  const struct {
    std::vector<std::string> args;
    int code;
    std::string says;
  } cases[] = {
      {{"plot", File("out.jpg")}, 1, "end the picture's name with .png or .svg"},
      {{"plot"}, 1, "--json or --csv"},
      {{"plot", File("out.png"), "--width", "10"}, 1, "--width"},
      {{"plot", File("out.png"), "--mode", "Karaoke"}, 2, "Music/Speakers, Movie/Speakers"},
      {{"plot", File("out.png"), "--position", "OMFX"}, 2, "no effect class registered at OMFX"},
      {{"plot", File("out.png"), "--endpoint", "Headset"}, 2, "Known endpoints:"},
  };
  for (const auto& entry : cases) {
    const HostResult result = Run(entry.args);
    EXPECT_EQ(result.code, entry.code) << entry.args.back() << "\n" << result.err;
    EXPECT_NE(result.err.find(entry.says), std::string::npos) << result.err;
  }
  EXPECT_EQ(std::distance(fs::directory_iterator(files_), fs::directory_iterator()), 1);
}

}  // namespace
