// End-to-end: `qorapo tune` changes tuned controls in the shared block a running host polls, as a
// tuning tool does.
#include "QORHostRunner.h"
#include "common/QORTextConvert.h"
#include "endpoint/QORAPOEndpointInfo.h"
#include "endpoint/QORAPOTunedSettings.h"
#include "platform/QORComPtr.h"
#include "platform/QORMMDevice.h"
#include "settings/QORAPOConfigurationFile.h"

namespace {

using nlohmann::json;
using qortest::HostResult;

const GUID kDemo = {0x0DE30001, 0x51A7, 0x4C0E, {0x9A, 0x0D, 0x7E, 0x4D, 0x00, 0x00, 0x00, 0x01}};

class TuneToolTest : public qortest::HostToolTest {
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

  json Tuned() { return RunJson({"tune", "get", "--json"}); }

  static std::string Value(const json& tuned, const std::string& name) {
    const json* control = qortest::Named(tuned["controls"], name);
    return control == nullptr ? "(missing)" : (*control)["value"];
  }
};

// Without a tuning session the values are the file's and writes are refused; with one, set, mode,
// get and clear reach the block a host reads.
TEST_F(TuneToolTest, SetModeGetAndClearReachTheBlockAHostReads) {
  json tuned = Tuned();
  EXPECT_EQ(tuned["mode"], "Music/Speakers");
  EXPECT_EQ(tuned["held"], false);
  EXPECT_EQ(tuned["tuningMode"], 0);
  EXPECT_EQ(tuned["block"],
            "Global\\{0DE30001-51A7-4C0E-9A0D-7E4D00000001}ApoOpMode:VAPO3-Music/VAPO3-Speakers");
  // Public and private controls of the mode, with the file's values.
  EXPECT_EQ(tuned["controls"].size(), 19u) << tuned;
  EXPECT_EQ(Value(tuned, "ZR3D-GEQ Band 1"), "-600");
  for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
           {"tune", "set", "ZR3D-GEQ Band 1", "300"}, {"tune", "mode", "2"}, {"tune", "clear"}}) {
    const HostResult refused = Run(args);
    EXPECT_EQ(refused.code, 2) << args[1];
    EXPECT_NE(refused.err.find("no tuning session holds the tuned controls of mode Music/Speakers "
                               "of 'QOR Demo Speakers'; start one with `qorapo tune hold`"),
              std::string::npos)
        << refused.err;
  }
  long tuningMode = -1;
  QORUTSValueList values;
  EXPECT_FALSE(HostView(&tuningMode, &values));  // nothing was left behind

  const pid_t hold = StartBackground({"tune", "hold", "--json"}, "hold");
  ASSERT_NE(hold, 0) << qortest::SlurpFile(ErrOf("hold"));
  EXPECT_EQ(json::parse(qortest::SlurpFile(OutOf("hold")))["mode"], "Music/Speakers");

  EXPECT_EQ(
      RunJson({"tune", "set", "ZR3D-GEQ Band 1", "300", "--json"}),
      (json{
          {"name", "ZR3D-GEQ Band 1"}, {"value", "300"}, {"previous", "-600"}, {"tuningMode", 0}}));
  // Private controls are tuned too, and a second write keeps the first.
  ASSERT_EQ(Run({"tune", "set", "SP-Ceiling", "-2400"}).code, 0);
  EXPECT_EQ(RunJson({"tune", "mode", "2", "--json"}),
            (json{{"mode", "Music/Speakers"}, {"held", true}, {"previous", 0}, {"tuningMode", 2}}));

  tuned = Tuned();
  EXPECT_EQ(tuned["held"], true);
  EXPECT_EQ(tuned["tuningMode"], 2);
  EXPECT_EQ(Value(tuned, "ZR3D-GEQ Band 1"), "300");
  EXPECT_EQ(Value(tuned, "SP-Ceiling"), "-2400");
  EXPECT_EQ(Run({"tune", "get", "SP-Ceiling"}).out, "-2400\n");
  ASSERT_TRUE(HostView(&tuningMode, &values));
  EXPECT_EQ(tuningMode, 2);
  ASSERT_NE(values.Find("ZR3D-GEQ Band 1"), nullptr);
  EXPECT_EQ(values.Find("ZR3D-GEQ Band 1")->GetValueText(), "300");
  EXPECT_EQ(values.Find("SP-Ceiling")->GetValueText(), "-2400");

  // Out of range, unknown, or a tuning mode that does not exist: refused, nothing changes.
  HostResult refused = Run({"tune", "set", "SP-Ceiling", "1"});
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
  const json cleared = RunJson({"tune", "clear", "--json"});
  EXPECT_EQ(cleared["tuningMode"], 0);
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

TEST_F(TuneToolTest, AHostThatFindsTheBlockTakesTheTunedValuesOverThePublicOnes) {
  const pid_t hold = StartBackground({"tune", "hold"}, "hold");
  ASSERT_NE(hold, 0) << qortest::SlurpFile(ErrOf("hold"));
  ASSERT_TRUE(qortest::WriteHostAudio(File("tone.wav"), qortest::Tones({250.0}, 0.1, 1.5)));
  // The leveller and the bass boost would follow any level change; tuned off, the 250 Hz band
  // (Band 4, +3 dB in the file) alone shapes the tone.
  for (const auto& [name, value] :
       {std::pair{"ZR3D-AmploHD Enable", "0"}, std::pair{"ZR3D-GravHD Boost Enable", "0"}}) {
    ASSERT_EQ(Run({"tune", "set", name, value}).code, 0);
  }
  ASSERT_EQ(Run({"tune", "mode", "2"}).code, 0);
  auto level = [&](const std::string& name) {
    const HostResult run =
        Run({"process", File("tone.wav"), File(name), "--positions", "SFX", "--mode", "Music"});
    EXPECT_EQ(run.code, 0) << run.err;
    return qortest::Db(qortest::ToneLevel(qortest::ReadHostAudio(File(name)), 250.0, 24000, 72000));
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
