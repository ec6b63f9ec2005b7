// End-to-end: the control panel's and tuning tool's writes, each from a process of its own, reach
// a host streaming in real time, and land on its stream within the bound a device would keep.
#include <nlohmann/json.hpp>
#include <regex>

#include "QORHostRunner.h"

namespace {

namespace fs = std::filesystem;
using qortest::HostAudio;
using qortest::HostResult;

constexpr int kRate = 48000;
constexpr double kTone = 1000.0;
constexpr double kAmplitude = 0.1;

// Music lifts the 1 kHz band by 6 dB through a public switch; Movie cuts it by 6 dB. Nothing else
// changes the level, so the tone's level says which setting the host runs.
constexpr char kConfiguration[] = R"(<?xml version="1.0" encoding="UTF-8"?>
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

double Now() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

// Level of the tone in dB relative to the input, in channel 0 over [begin, end) seconds.
double LevelDb(const HostAudio& audio, double begin, double end) {
  const size_t first = static_cast<size_t>(begin * audio.rate);
  const size_t last = std::min(static_cast<size_t>(end * audio.rate), audio.Frames());
  double re = 0.0;
  double im = 0.0;
  for (size_t n = first; n < last; ++n) {
    const double phase = 2.0 * std::numbers::pi * kTone * static_cast<double>(n) / audio.rate;
    re += audio.samples[n * audio.channels] * std::cos(phase);
    im += audio.samples[n * audio.channels] * std::sin(phase);
  }
  return 20.0 *
         std::log10(2.0 * std::hypot(re, im) / static_cast<double>(last - first) / kAmplitude);
}

// The first frame where two runs differ by more than a rounding could, or their length.
size_t Departure(const HostAudio& run, const HostAudio& reference) {
  const size_t frames = std::min(run.Frames(), reference.Frames());
  for (size_t n = 0; n < frames; ++n) {
    if (std::fabs(run.samples[2 * n] - reference.samples[2 * n]) > 1e-3f) return n;
  }
  return frames;
}

// The largest step between samples in any 10 ms window over [begin, end) frames, against the
// steepest step a clean tone of that window's peak makes (1.0 for a click-free run).
double WorstStep(const HostAudio& audio, size_t begin, size_t end) {
  double worst = 0.0;
  for (size_t window = begin; window + 480 <= end; window += 480) {
    float step = 0.0f;
    float peak = 0.0f;
    for (size_t n = window; n < window + 480; ++n) {
      step = std::max(step, std::fabs(audio.samples[2 * n] - audio.samples[2 * n - 2]));
      peak = std::max(peak, std::fabs(audio.samples[2 * n]));
    }
    worst = std::max(worst, step / (peak * 2.0 * std::sin(std::numbers::pi * kTone / kRate)));
  }
  return worst;
}

class HostLiveTest : public qortest::HostToolTest {
 protected:
  void SetUp() override {
    HostToolTest::SetUp();
    std::ofstream(File("eq.xml")) << kConfiguration;
    SetUpDemo({"--config", File("eq.xml")});
    ASSERT_TRUE(qortest::WriteHostAudio(
        File("tone.wav"), qortest::ShapedTone(kTone, 4.0, [](double) { return kAmplitude; })));
  }

  // Starts the real-time host and returns the monotonic time its stream started (0 on failure).
  double StartHost(pid_t* pid) {
    *pid = Start({"process", File("tone.wav"), File("live.wav"), "--realtime", "--json"}, "host");
    if (*pid == 0 || !WaitForErr(*pid, "host", "real-time stream started")) return 0.0;
    std::smatch match;
    const std::string err = qortest::SlurpFile(ErrOf("host"));
    if (!std::regex_search(err, match, std::regex("monotonic ([0-9.]+) s"))) return 0.0;
    return std::stod(match[1]);
  }

  // Waits until the stream is at seconds, then runs the tool; the write lies in [*before, *after].
  void WriteAt(double start, double seconds, const std::vector<std::string>& args, double* before,
               double* after) {
    std::this_thread::sleep_for(std::chrono::duration<double>(start + seconds - Now()));
    *before = Now() - start;
    const HostResult result = Run(args, "tool");
    *after = Now() - start;
    EXPECT_EQ(result.code, 0) << result.err;
  }

  // The host's report once its stream has ended.
  nlohmann::json FinishHost(pid_t pid) {
    const HostResult result = Wait(pid, "host");
    EXPECT_EQ(result.code, 0) << result.err;
    try {
      return nlohmann::json::parse(result.out);
    } catch (const std::exception& error) {
      ADD_FAILURE() << error.what() << "\n" << result.out << result.err;
      return {};
    }
  }

  // Where a write made no later than after (stream seconds) may land at the latest.
  static double Bound(double after, int64_t latency) {
    return after + 0.100 + static_cast<double>(latency) / kRate + 0.030;
  }
};

TEST_F(HostLiveTest, AControlSetReachesARunningHostWithinTheBoundAndWithoutAClick) {
  const HostResult reference = Run({"process", File("tone.wav"), File("reference.wav")});
  ASSERT_EQ(reference.code, 0) << reference.err;
  pid_t host = 0;
  const double start = StartHost(&host);
  ASSERT_GT(start, 0.0) << qortest::SlurpFile(ErrOf("host"));
  double before = 0.0;
  double after = 0.0;
  WriteAt(start, 1.0, {"control", "set", "ZR3D-GEQ Enable", "0"}, &before, &after);
  const nlohmann::json report = FinishHost(host);
  const int64_t latency = report["output"]["latency_frames"].get<int64_t>();
  const HostAudio live = qortest::ReadHostAudio(File("live.wav"));
  const HostAudio offline = qortest::ReadHostAudio(File("reference.wav"));
  ASSERT_EQ(live.Frames(), offline.Frames());

  const size_t landed = Departure(live, offline);
  const double landedAt = static_cast<double>(landed) / kRate;
  EXPECT_LE(landedAt, Bound(after, latency))
      << "written between " << before << " s and " << after << " s of the stream";
  RecordProperty("landed_ms_after_the_tool_ended", static_cast<int>(1000 * (landedAt - after)));
  EXPECT_GT(landedAt, 0.5);  // nothing moved before the write was near
  // +6 dB at the band's centre before, flat after; no click in between.
  EXPECT_NEAR(LevelDb(live, 0.3, std::min(before, landedAt - 0.01)), 6.0, 0.5);
  EXPECT_NEAR(LevelDb(live, landedAt + 0.1, landedAt + 0.6), 0.0, 0.5);
  EXPECT_LE(WorstStep(live, landed - 4800, landed + 4800), 1.05);
  // The host heard it as a rebuild at the position the output changed (within a period or two).
  ASSERT_FALSE(report["realtime"]["rebuilds"].empty()) << report.dump();
  const int64_t rebuilt = report["realtime"]["rebuilds"][0]["frame"].get<int64_t>();
  EXPECT_LE(std::llabs(rebuilt + latency - static_cast<int64_t>(landed)), 960) << report.dump();
}

TEST_F(HostLiveTest, ATunedValueInTuningModeTwoWinsOverAPublicControlAndReachesTheHostLive) {
  // The tuning tool is open before the host builds the mode's chain, so the host joins its block.
  const pid_t hold = Start({"tune", "hold", "--mode", "Music/Speakers"}, "hold");
  ASSERT_NE(hold, 0);
  const auto held = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (qortest::SlurpFile(OutOf("hold")).find("holding") == std::string::npos &&
         std::chrono::steady_clock::now() < held) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  ASSERT_NE(qortest::SlurpFile(OutOf("hold")).find("holding"), std::string::npos)
      << qortest::SlurpFile(ErrOf("hold"));
  ASSERT_EQ(Run({"tune", "set", "ZR3D-GEQ Enable", "1"}).code, 0);
  ASSERT_EQ(Run({"tune", "mode", "2"}).code, 0);
  // Long enough for both writes and what follows each, however long the tools take to run.
  ASSERT_TRUE(qortest::WriteHostAudio(
      File("tone.wav"), qortest::ShapedTone(kTone, 6.0, [](double) { return kAmplitude; })));

  pid_t host = 0;
  const double start = StartHost(&host);
  ASSERT_GT(start, 0.0) << qortest::SlurpFile(ErrOf("host"));
  double panelBefore = 0.0;
  double panelAfter = 0.0;
  WriteAt(start, 0.8, {"control", "set", "ZR3D-GEQ Enable", "0"}, &panelBefore, &panelAfter);
  double tuneBefore = 0.0;
  double tuneAfter = 0.0;
  // The tuned write comes once the panel's write has had its time to land (and did not).
  const double latencyBound = 0.05;  // far above the chain's few milliseconds
  const double tuneAt = std::max(2.0, Bound(panelAfter, 0) + latencyBound + 0.4);
  WriteAt(start, tuneAt, {"tune", "set", "ZR3D-GEQ Band 6", "-600"}, &tuneBefore, &tuneAfter);
  ASSERT_LT(Bound(tuneAfter, 0) + latencyBound, 5.4) << "the tools took too long to measure";
  const nlohmann::json report = FinishHost(host);
  kill(hold, SIGINT);
  EXPECT_EQ(Wait(hold, "hold").code, 0);
  const int64_t latency = report["output"]["latency_frames"].get<int64_t>();
  const HostAudio live = qortest::ReadHostAudio(File("live.wav"));
  ASSERT_GT(live.Frames(), static_cast<size_t>(5.9 * kRate));

  // The panel's switch changed nothing: the tuned switch wins, the band stays lifted.
  EXPECT_NEAR(LevelDb(live, 0.3, panelBefore), 6.0, 0.5);
  EXPECT_NEAR(LevelDb(live, Bound(panelAfter, latency), tuneBefore), 6.0, 0.5)
      << "panel write at " << panelBefore << ".." << panelAfter << " s";
  // The tuned band went to -6 dB while it played, within the bound.
  EXPECT_NEAR(LevelDb(live, Bound(tuneAfter, latency) + 0.05, 5.9), -6.0, 0.5)
      << "tuned write at " << tuneBefore << ".." << tuneAfter << " s";
  EXPECT_LE(WorstStep(live, static_cast<size_t>(tuneBefore * kRate),
                      static_cast<size_t>(Bound(tuneAfter, latency) * kRate) + 4800),
            1.05);
}

TEST_F(HostLiveTest, ModeSetMovesARunningHostToTheOtherMode) {
  const HostResult reference = Run({"process", File("tone.wav"), File("reference.wav")});
  ASSERT_EQ(reference.code, 0) << reference.err;
  pid_t host = 0;
  const double start = StartHost(&host);
  ASSERT_GT(start, 0.0) << qortest::SlurpFile(ErrOf("host"));
  double before = 0.0;
  double after = 0.0;
  WriteAt(start, 1.0, {"mode", "set", "Movie"}, &before, &after);
  const nlohmann::json report = FinishHost(host);
  const int64_t latency = report["output"]["latency_frames"].get<int64_t>();
  const HostAudio live = qortest::ReadHostAudio(File("live.wav"));
  const HostAudio offline = qortest::ReadHostAudio(File("reference.wav"));
  const size_t landed = Departure(live, offline);
  const double landedAt = static_cast<double>(landed) / kRate;
  EXPECT_LE(landedAt, Bound(after, latency)) << "written at " << before << ".." << after << " s";
  RecordProperty("landed_ms_after_the_tool_ended", static_cast<int>(1000 * (landedAt - after)));
  EXPECT_NEAR(LevelDb(live, 0.3, std::min(before, landedAt - 0.01)), 6.0, 0.5);
  EXPECT_NEAR(LevelDb(live, landedAt + 0.1, 3.9), -6.0, 0.5);
  EXPECT_LE(WorstStep(live, landed - 4800, landed + 4800), 1.05);
  // The report names the mode the run started in; the mode stays switched afterwards.
  EXPECT_EQ(report["mode"], "Music/Speakers");
  const HostResult mode = Run({"mode", "get"});
  EXPECT_NE(mode.out.find("Movie"), std::string::npos) << mode.out;
}

}  // namespace
