// End-to-end: `qorapo tune` changes tuned controls in the shared block a running host polls, as a
// tuning tool does.
#include <string>

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
  EXPECT_EQ(tuned["controls"].size(), 17u) << tuned;
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
  ASSERT_EQ(Run({"tune", "clear"}).code, 0);
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

}  // namespace
