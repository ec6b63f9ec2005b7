// End-to-end: `qorapo plot` measures a chain's response and draws it.
#include <regex>

#include "QORHostRunner.h"

namespace {

using qortest::HostResult;

class HostPlotTest : public qortest::HostToolTest {
 protected:
  const char* Configuration() const override { return qortest::kEqConfiguration.c_str(); }

  nlohmann::json Plot(std::vector<std::string> args) {
    args.insert(args.begin(), "plot");
    args.push_back("--json");
    return RunJson(args);
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
}

#ifndef _WIN32
// The pictures need cairo, which the Windows build lacks.
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
  EXPECT_EQ(FileCount(), 3u);
}
#endif

TEST_F(HostPlotTest, MistakesAreUsageErrorsAndFailuresSayWhatToDoAndDrawNothing) {
  const struct {
    std::vector<std::string> args;
    int code;
    std::string says;
  } cases[] = {
      {{"plot", File("out.jpg")}, 1, "end the picture's name with .png or .svg"},
      {{"plot"}, 1, "--json or --csv"},
      {{"plot", File("out.png"), "--width", "10"}, 1, "--width"},
#ifdef _WIN32
      // Said before anything is measured.
      {{"plot", File("out.png")},
       2,
       "drawing a picture needs cairo, which this build of qorapo lacks"},
#else
      {{"plot", File("out.png"), "--position", "OMFX"}, 2, "no effect class registered at OMFX"},
#endif
      {{"plot", "--json", "--position", "OMFX"}, 2, "no effect class registered at OMFX"},
  };
  for (const auto& entry : cases) {
    const HostResult result = Run(entry.args);
    EXPECT_EQ(result.code, entry.code) << entry.args.back() << "\n" << result.err;
    EXPECT_NE(result.err.find(entry.says), std::string::npos) << result.err;
  }
  EXPECT_EQ(FileCount(), 1u);
}

}  // namespace

// A mode another tool chooses while a measurement has another selected is that tool's choice:
// the measurement puts back only what still stands as it left it.
class HostPlotPutBackTest : public qortest::HostToolTest {};

TEST_F(HostPlotPutBackTest, AModeChosenWhileItMeasuresStaysChosen) {
  // The measurement is held still (SIGSTOP) while it has Movie selected, and Voice is chosen
  // then. A stop can catch it holding a lock the tools wait for, and it may have put Music back
  // already: such a try is let go and made again. A high rate keeps Movie selected long enough to
  // be seen on a loaded machine.
  const std::vector<std::string> measure = {"plot",   "--json",   "--mode",  "Movie",    "--rate",
                                            "192000", "--signal", "impulse", "--points", "10"};
  // Whether a tool ended within 3 s; one that did not is waited for once the measurement runs on.
  auto ended = [&](pid_t pid, int timeoutMs) {
    if (exited_.count(pid) != 0) return true;
    const std::optional<int> code = qortest::HostProcess::Wait(pid, timeoutMs);
    if (code) exited_[pid] = *code;
    return code.has_value();
  };
  bool chosen = false;
  for (int attempt = 0; attempt < 10 && !chosen; ++attempt) {
    ASSERT_EQ(Run({"mode", "set", "Music"}).code, 0);
    const pid_t plot = Start(measure, "plot");
    ASSERT_NE(plot, 0);
    // Watched only while it runs: one that ended has put Music back, and the try is over.
    bool seen = false;
    while (!seen && !ended(plot, 0)) seen = Run({"mode", "get"}).out == "Movie/Speakers\n";
    pid_t get = 0;
    pid_t set = 0;
    if (seen) {
      Signal(plot, SIGSTOP);
      get = Start({"mode", "get"}, "get");
      if (ended(get, 3000) && Wait(get, "get").out == "Movie/Speakers\n") {
        set = Start({"mode", "set", "Voice"}, "set");
        chosen = ended(set, 3000) && Wait(set, "set").code == 0;
      }
      Signal(plot, SIGCONT);
    }
    EXPECT_EQ(Wait(plot, "plot").code, 0);
    // A tool the stopped measurement held up ends now, before the next try starts.
    for (const pid_t tool : {get, set}) {
      if (tool != 0 && exited_.count(tool) == 0) qortest::HostProcess::Wait(tool, -1);
    }
  }
  ASSERT_TRUE(chosen) << "the measurement was never caught with Movie selected";
  EXPECT_EQ(Run({"mode", "get"}).out, "Voice/Speakers\n");
  // With nothing chosen meanwhile, the mode before the measurement comes back.
  ASSERT_EQ(Run({"plot", "--json", "--mode", "Movie", "--points", "10"}).code, 0);
  EXPECT_EQ(Run({"mode", "get"}).out, "Voice/Speakers\n");
}
