// End-to-end: `qorapo tune` changes tuned controls in the shared block a running host polls, as a
// tuning tool does.
#include <sndfile.h>

#include <cmath>
#include <numbers>
#include <string>
#include <vector>

#include "QORHostToolRun.h"
#include "common/QORTextConvert.h"
#include "endpoint/QORAPOEndpointInfo.h"
#include "endpoint/QORAPOTunedSettings.h"
#include "platform/QORComPtr.h"
#include "platform/QORMMDevice.h"
#include "settings/QORAPOConfigurationFile.h"

namespace {

using nlohmann::json;
using qortest::ToolResult;

const GUID kDemo = {0x0DE30001, 0x51A7, 0x4C0E, {0x9A, 0x0D, 0x7E, 0x4D, 0x00, 0x00, 0x00, 0x01}};

// A stereo tone of frequency f at amplitude a, written as a float WAV file.
void WriteTone(const std::string& path, double f, double a, double seconds) {
  SF_INFO info{};
  info.channels = 2;
  info.samplerate = 48000;
  info.format = SF_FORMAT_WAV | SF_FORMAT_FLOAT;
  const size_t frames = static_cast<size_t>(seconds * info.samplerate);
  std::vector<float> samples(frames * 2);
  for (size_t n = 0; n < frames; ++n) {
    const auto value = static_cast<float>(a * std::sin(2.0 * std::numbers::pi * f * n / 48000.0));
    samples[2 * n] = samples[2 * n + 1] = value;
  }
  SNDFILE* file = sf_open(path.c_str(), SFM_WRITE, &info);
  ASSERT_NE(file, nullptr);
  sf_writef_float(file, samples.data(), static_cast<sf_count_t>(frames));
  sf_close(file);
}

// Level in dB of frequency f in the first channel of a file, over frames [begin, end).
double LevelDb(const std::string& path, double f, size_t begin, size_t end) {
  SF_INFO info{};
  SNDFILE* file = sf_open(path.c_str(), SFM_READ, &info);
  if (file == nullptr) return -999.0;
  std::vector<float> samples(static_cast<size_t>(info.frames) * info.channels);
  sf_readf_float(file, samples.data(), info.frames);
  sf_close(file);
  double re = 0.0;
  double im = 0.0;
  for (size_t n = begin; n < end && n < static_cast<size_t>(info.frames); ++n) {
    const double phase = 2.0 * std::numbers::pi * f * n / info.samplerate;
    re += samples[n * info.channels] * std::cos(phase);
    im += samples[n * info.channels] * std::sin(phase);
  }
  return 20.0 * std::log10(2.0 * std::hypot(re, im) / static_cast<double>(end - begin));
}

class TuneToolTest : public qortest::ToolTest {
 protected:
  // Reads the block as a host's chain does: it must exist, then tuning mode and values.
  bool HostView(long* tuningMode, QORUTSValueList* values) {
    QORComPtr<IMMDevice> device;
    QORAPOEndpointInfo endpoint;
    QORMMDevice::Create(eRender, kDemo, device.Put());
    QORAPOConfigurationFile file;
    std::shared_ptr<QORAPOOperatingMode> mode;
    if (!endpoint.Init(device.Get(), true) ||
        file.Load(QORUtf8ToWide(Example()), QORAPOConfigurationFile::kSelectorPlain, 1) != 0 ||
        !file.FindOperatingMode(QORAPOModeIdentity("VAPO3-Music", "VAPO3-Speakers"), mode)) {
      return false;
    }
    QORAPOTunedSettings tuned;
    if (!tuned.Open(endpoint, *mode, true)) return false;
    *tuningMode = tuned.GetTuningMode();
    tuned.ReadControls(*values, true);
    return true;
  }

  json Tuned() {
    const ToolResult get = Run({"tune", "get", "--json"});
    EXPECT_EQ(get.code, 0) << get.err;
    return get.Json();
  }

  static std::string Value(const json& tuned, const std::string& name) {
    for (const json& control : tuned["controls"]) {
      if (control["name"] == name) return control["value"];
    }
    return "(missing)";
  }
};

TEST_F(TuneToolTest, WithoutATuningSessionValuesAreTheFilesAndWritesAreRefused) {
  const json tuned = Tuned();
  EXPECT_EQ(tuned["mode"], "Music/Speakers");
  EXPECT_EQ(tuned["held"], false);
  EXPECT_EQ(tuned["tuningMode"], 0);
  EXPECT_EQ(tuned["block"],
            "Global\\{0DE30001-51A7-4C0E-9A0D-7E4D00000001}ApoOpMode:VAPO3-Music/VAPO3-Speakers");
  // Public and private controls of the mode, with the file's values.
  EXPECT_EQ(tuned["controls"].size(), 19u) << tuned;
  EXPECT_EQ(Value(tuned, "ZR3D-GEQ Band 1"), "-600");
  EXPECT_EQ(Value(tuned, "ZR3D-GEQ Enable"), "1");
  for (const std::vector<std::string>& args :
       {std::vector<std::string>{"tune", "set", "ZR3D-GEQ Band 1", "300"},
        std::vector<std::string>{"tune", "mode", "2"}, std::vector<std::string>{"tune", "clear"}}) {
    const ToolResult refused = Run(args);
    EXPECT_EQ(refused.code, 2) << args[1];
    EXPECT_NE(refused.err.find("no tuning session holds the tuned controls of mode Music/Speakers "
                               "of 'QOR Demo Speakers'; start one with `qorapo tune hold`"),
              std::string::npos)
        << refused.err;
  }
  long tuningMode = -1;
  QORUTSValueList values;
  EXPECT_FALSE(HostView(&tuningMode, &values));  // nothing was left behind
}

TEST_F(TuneToolTest, SetModeGetAndClearReachTheBlockAHostReads) {
  const pid_t hold = StartBackground({"tune", "hold", "--json"}, "hold");
  ASSERT_NE(hold, 0) << Slurp(Path("hold.err"));
  EXPECT_EQ(json::parse(Slurp(Path("hold.out")))["mode"], "Music/Speakers");

  ToolResult set = Run({"tune", "set", "ZR3D-GEQ Band 1", "300", "--json"});
  ASSERT_EQ(set.code, 0) << set.err;
  EXPECT_EQ(
      set.Json(),
      (json{
          {"name", "ZR3D-GEQ Band 1"}, {"value", "300"}, {"previous", "-600"}, {"tuningMode", 0}}));
  // Private controls are tuned too, and a second write keeps the first.
  ASSERT_EQ(Run({"tune", "set", "SP-Ceiling", "-2400"}).code, 0);
  ToolResult mode = Run({"tune", "mode", "2", "--json"});
  ASSERT_EQ(mode.code, 0) << mode.err;
  EXPECT_EQ(mode.Json(),
            (json{{"mode", "Music/Speakers"}, {"held", true}, {"previous", 0}, {"tuningMode", 2}}));

  json tuned = Tuned();
  EXPECT_EQ(tuned["held"], true);
  EXPECT_EQ(tuned["tuningMode"], 2);
  EXPECT_EQ(Value(tuned, "ZR3D-GEQ Band 1"), "300");
  EXPECT_EQ(Value(tuned, "SP-Ceiling"), "-2400");
  EXPECT_EQ(Run({"tune", "get", "SP-Ceiling"}).out, "-2400\n");
  long tuningMode = -1;
  QORUTSValueList values;
  ASSERT_TRUE(HostView(&tuningMode, &values));
  EXPECT_EQ(tuningMode, 2);
  ASSERT_NE(values.Find("ZR3D-GEQ Band 1"), nullptr);
  EXPECT_EQ(values.Find("ZR3D-GEQ Band 1")->GetValueText(), "300");
  EXPECT_EQ(values.Find("SP-Ceiling")->GetValueText(), "-2400");

  // Out of range, unknown, or a tuning mode that does not exist: refused, nothing changes.
  ToolResult refused = Run({"tune", "set", "SP-Ceiling", "1"});
  EXPECT_EQ(refused.code, 2);
  EXPECT_NE(refused.err.find("-2400..0 (-24.00..0.00)"), std::string::npos) << refused.err;
  refused = Run({"tune", "set", "ZR3D-GEQ Band 7", "100"});
  EXPECT_EQ(refused.code, 2);
  EXPECT_NE(refused.err.find("unknown control 'ZR3D-GEQ Band 7' in mode Music/Speakers"),
            std::string::npos)
      << refused.err;
  EXPECT_EQ(Run({"tune", "mode", "3"}).code, 1);
  EXPECT_EQ(Tuned(), tuned);

  // Clear puts the file's values back and stops tuning, also for a host that merges what it
  // reads into what it already holds.
  const ToolResult cleared = Run({"tune", "clear", "--json"});
  ASSERT_EQ(cleared.code, 0) << cleared.err;
  EXPECT_EQ(cleared.Json()["tuningMode"], 0);
  EXPECT_EQ(cleared.Json()["controls"].size(), 19u);
  tuned = Tuned();
  EXPECT_EQ(tuned["tuningMode"], 0);
  EXPECT_EQ(Value(tuned, "ZR3D-GEQ Band 1"), "-600");
  EXPECT_EQ(Value(tuned, "SP-Ceiling"), "-300");
  ASSERT_TRUE(HostView(&tuningMode, &values));
  EXPECT_EQ(tuningMode, 0);
  EXPECT_EQ(values.Find("ZR3D-GEQ Band 1")->GetValueText(), "-600");

  // Released, the block is gone.
  EXPECT_EQ(Stop(hold), 0);
  EXPECT_EQ(Tuned()["held"], false);
}

TEST_F(TuneToolTest, EachModeHasItsOwnBlock) {
  const pid_t hold = StartBackground({"tune", "hold", "--mode", "Movie"}, "hold");
  ASSERT_NE(hold, 0) << Slurp(Path("hold.err"));
  EXPECT_EQ(Slurp(Path("hold.out")),
            "holding the tuned controls of mode Movie/Speakers; Ctrl-C releases them\n");
  ASSERT_EQ(Run({"tune", "set", "LUXSND-PEQ Band 1 Type", "high shelf", "--mode", "Movie"}).code,
            0);
  EXPECT_EQ(Run({"tune", "get", "LUXSND-PEQ Band 1 Type", "--mode", "Movie"}).out, "High Shelf\n");
  // The current mode (Music) has no session.
  EXPECT_EQ(Run({"tune", "set", "ZR3D-GEQ Band 1", "0"}).code, 2);
  EXPECT_EQ(Stop(hold), 0);
}

TEST_F(TuneToolTest, AHostThatFindsTheBlockTakesTheTunedValuesOverThePublicOnes) {
  const pid_t hold = StartBackground({"tune", "hold"}, "hold");
  ASSERT_NE(hold, 0) << Slurp(Path("hold.err"));
  WriteTone(Path("tone.wav"), 250.0, 0.1, 1.5);
  // The leveller and the bass boost would follow any level change; tuned off, the 250 Hz band
  // (Band 4, +3 dB in the file) alone shapes the tone.
  for (const auto& [name, value] :
       {std::pair{"ZR3D-AmploHD Enable", "0"}, std::pair{"ZR3D-GravHD Boost Enable", "0"}}) {
    ASSERT_EQ(Run({"tune", "set", name, value}).code, 0);
  }
  ASSERT_EQ(Run({"tune", "mode", "2"}).code, 0);
  auto level = [&](const std::string& name) {
    const ToolResult run =
        Run({"process", Path("tone.wav"), Path(name), "--positions", "SFX", "--mode", "Music"});
    EXPECT_EQ(run.code, 0) << run.err;
    return LevelDb(Path(name), 250.0, 24000, 72000);
  };
  const double file = level("file.wav");
  ASSERT_EQ(Run({"tune", "set", "ZR3D-GEQ Band 4", "900"}).code, 0);
  const double tuned = level("tuned.wav");
  EXPECT_NEAR(tuned - file, 6.0, 0.5);
  // Under tuning mode 2 a control panel's switch does not win over the tuned one...
  ASSERT_EQ(Run({"control", "set", "ZR3D-GEQ Enable", "Off"}).code, 0);
  EXPECT_NEAR(level("panel.wav"), tuned, 0.05);
  // ...under tuning mode 1 it does, and so do the panel's other switches: with the equaliser,
  // leveller and bass boost off, the tone passes at the level it came in.
  ASSERT_EQ(Run({"tune", "mode", "1"}).code, 0);
  for (const char* name : {"ZR3D-AmploHD Enable", "ZR3D-GravHD Boost Enable"}) {
    ASSERT_EQ(Run({"control", "set", name, "Off"}).code, 0);
  }
  EXPECT_NEAR(level("public.wav"), -20.0, 0.1);
  EXPECT_EQ(Stop(hold), 0);
}

}  // namespace
