// End-to-end: `qorapo control` on public controls and global switches, as the library describes.

#include "QORHostRunner.h"
#include "common/QORTextConvert.h"
#include "platform/QORRegistryKey.h"

namespace {

using nlohmann::json;
using qortest::HostResult;
using qortest::Named;

constexpr char kRigGuid[] = "{0DE30003-51A7-4C0E-9A0D-7E4D00000003}";

// Public controls of every kind: a switch, hundredths, enumerated, and one nothing describes.
constexpr char kConfiguration[] = R"(<?xml version="1.0"?><qor_configuration><properties>
  <control name="VAPO3-Operating Mode">VAPO3-Music</control>
  <control name="VAPO3-Speaker Type">VAPO3-Speakers</control></properties>
  <operating_mode><control name="VAPO3-Operating Mode">VAPO3-Music</control>
    <control name="VAPO3-Speaker Type">VAPO3-Speakers</control>
    <control name="ZR3D-GEQ Enable" public="true">1</control>
    <control name="ZR3D-GEQ Band 5" public="true">0</control>
    <control name="LUXSND-PEQ Band 1 Type" public="true">Peak</control>
    <control name="MY-Label" public="true">abc</control>
    <control name="ZR3D-GEQ Band 6">200</control>
    <chain_v2 position="SFX" input="Any" output="Stereo">
    <process tech_id="ZR3D" instance_id="SFX_Main"/></chain_v2>
    <chain_v2 position="MFX" input="Any" output="Stereo">
    <process tech_id="LUXSND" instance_id="MFX_Main"/></chain_v2></operating_mode>
  <operating_mode><control name="VAPO3-Operating Mode">VAPO3-Movie</control>
    <control name="VAPO3-Speaker Type">VAPO3-Speakers</control>
    <control name="ZR3D-GEQ Band 5" public="true">100</control>
    <chain_v2 position="SFX" input="Any" output="Stereo">
    <process tech_id="ZR3D" instance_id="SFX_Main"/></chain_v2></operating_mode></qor_configuration>
)";

class ControlToolTest : public qortest::HostToolTest {
 protected:
  void SetUp() override {
    qortest::HostToolTest::SetUp();
    std::ofstream(File("rig.xml")) << kConfiguration;
    const HostResult added = Run({"endpoint", "add", "Tuning Rig", "--config", File("rig.xml"),
                                  "--fx", "SFX", "--fx", "MFX", "--guid", kRigGuid, "--default"});
    ASSERT_EQ(added.code, 0) << added.err;
  }

  json Controls(const std::string& mode = "") {
    std::vector<std::string> args{"control", "list", "--json"};
    if (!mode.empty()) args.insert(args.end(), {"--mode", mode});
    return RunJson(args);
  }

  std::string Get(const std::string& name, const std::string& mode = "Music") {
    const HostResult get = Run({"control", "get", name, "--mode", mode});
    EXPECT_EQ(get.code, 0) << get.err;
    return get.out.empty() ? get.out : get.out.substr(0, get.out.size() - 1);
  }

  // The stored bytes of a mode's public controls; empty when nothing is stored.
  static std::vector<uint8_t> Stored(const std::string& valueName) {
    QORRegistryKey key;
    std::vector<uint8_t> data;
    uint32_t type = 0;
    if (QORRegistryKey::Open(QORRegistryHive::kLocalMachine,
                             std::wstring(L"Software\\QOR Labs\\APO\\") + QORUtf8ToWide(kRigGuid),
                             KEY_QUERY_VALUE, key) == ERROR_SUCCESS) {
      key.QueryValue(QORUtf8ToWide(valueName), &type, &data);
    }
    return data;
  }
};

TEST_F(ControlToolTest, ListGivesValuesDefaultsAndTheLibrarysDescriptions) {
  const json list = Controls();
  EXPECT_EQ(list["mode"], "Music/Speakers");
  const json& controls = list["controls"];
  ASSERT_EQ(controls.size(), 6u) << controls;
  qortest::ExpectFields(controls[0], R"({"name": "VAPO3-Process Enable", "scope": "global",
                                         "value": "1", "type": "switch", "maximum": 1})"_json);
  const json* band = Named(controls, "ZR3D-GEQ Band 5");
  ASSERT_NE(band, nullptr);
  qortest::ExpectFields(*band, R"j({"scope": "public", "value": "0", "techId": "ZR3D",
      "type": "hundredths", "minimum": -1200, "maximum": 1200, "scale": 100.0,
      "range": "-1200..1200 (-12.00..12.00)"})j"_json);
  const json* type = Named(controls, "LUXSND-PEQ Band 1 Type");
  ASSERT_NE(type, nullptr);
  // Described by the process at another position.
  qortest::ExpectFields(*type, R"({"techId": "LUXSND", "type": "enumerated", "value": "Peak",
      "valueNames": ["Off", "Peak", "Low Shelf", "High Shelf"]})"_json);
  EXPECT_EQ((*Named(controls, "MY-Label"))["described"], false);
  EXPECT_EQ(Named(controls, "ZR3D-GEQ Band 6"), nullptr);  // private controls are not a panel's
}

TEST_F(ControlToolTest, ValuesOutsideTheRangeAreRefusedWithItAndNothingIsWritten) {
  const std::string value = "ApoOpMode:VAPO3-Music/VAPO3-Speakers";
  ASSERT_EQ(Run({"control", "set", "ZR3D-GEQ Band 5", "1200"}).code, 0);
  EXPECT_EQ(Get("ZR3D-GEQ Band 5"), "1200");
  ASSERT_EQ(Run({"control", "set", "ZR3D-GEQ Band 5", "-1200"}).code, 0);
  const std::vector<uint8_t> before = Stored(value);
  ASSERT_FALSE(before.empty());
  const struct {
    std::string name, value, message;
  } refused[] = {
      {"ZR3D-GEQ Band 5", "1201",
       "'1201' is outside the range of 'ZR3D-GEQ Band 5': -1200..1200 (-12.00..12.00) "
       "(hundredths, a whole number of hundredths); nothing was written"},
      {"ZR3D-GEQ Band 5", "-1201", "-1200..1200"},
      {"ZR3D-GEQ Band 5", "6.5", "-1200..1200"},
      {"ZR3D-GEQ Band 5", "99999999999", "-1200..1200"},
      {"ZR3D-GEQ Enable", "2",
       "'2' is outside the range of 'ZR3D-GEQ Enable': a switch, 0..1 (also Off/On)"},
      {"LUXSND-PEQ Band 1 Type", "Notch",
       "'Notch' is not a value of 'LUXSND-PEQ Band 1 Type': one of Off, Peak, Low Shelf, High "
       "Shelf (or 0..3); nothing was written"},
  };
  for (const auto& c : refused) {
    const HostResult result = Run({"control", "set", c.name, c.value});
    EXPECT_EQ(result.code, 2) << c.name << "=" << c.value;
    EXPECT_NE(result.err.find(c.message), std::string::npos) << result.err;
    EXPECT_EQ(result.out, "");
  }
  EXPECT_EQ(Stored(value), before);
  EXPECT_TRUE(Stored("QorApoGlobal").empty());
}

// Value names are stored in the form the host and the effects list read; set, get and reset keep
// modes apart and global switches shared.
TEST_F(ControlToolTest, SetGetResetRoundTripsKeepModesApartAndGlobalsShared) {
  EXPECT_EQ(RunJson({"control", "set", "ZR3D-GEQ Enable", "Off", "--json"}),
            R"({"name": "ZR3D-GEQ Enable", "value": "0", "previous": "1",
                "mode": "Music/Speakers"})"_json);
  ASSERT_EQ(Run({"control", "set", "ZR3D-GEQ Enable", "enabled"}).code, 0);
  qortest::ExpectFields(RunJson({"control", "get", "ZR3D-GEQ Enable", "--json"}),
                        R"({"name": "ZR3D-GEQ Enable", "scope": "public", "value": "1",
                            "default": "1", "type": "switch", "techId": "ZR3D"})"_json);
  ASSERT_EQ(Run({"control", "set", "LUXSND-PEQ Band 1 Type", "low shelf"}).code, 0);
  EXPECT_EQ(Get("LUXSND-PEQ Band 1 Type"), "Low Shelf");
  ASSERT_EQ(Run({"control", "set", "ZR3D-GEQ Band 5", "300", "--mode", "Movie"}).code, 0);
  ASSERT_EQ(Run({"control", "set", "ZR3D-GEQ Band 5", "-600"}).code, 0);
  ASSERT_EQ(Run({"control", "set", "LUXSND-PEQ Band 1 Type", "Off"}).code, 0);
  ASSERT_EQ(Run({"control", "set", "VAPO3-Process Enable", "0", "--mode", "Movie"}).code, 0);
  EXPECT_EQ(Get("ZR3D-GEQ Band 5", "Movie"), "300");
  EXPECT_EQ(Get("ZR3D-GEQ Band 5", "Music"), "-600");
  EXPECT_EQ(Get("VAPO3-Process Enable", "Music"), "0");

  // One control back to the file's value.
  EXPECT_EQ(RunJson({"control", "reset", "ZR3D-GEQ Band 5", "--json"}),
            (json{{{"name", "ZR3D-GEQ Band 5"}, {"value", "0"}, {"previous", "-600"}}}));
  EXPECT_EQ(Get("LUXSND-PEQ Band 1 Type"), "Off");
  // Without names, every public control of the mode, and no global switch.
  ASSERT_EQ(Run({"control", "reset", "--mode", "Music"}).code, 0);
  EXPECT_EQ(Get("LUXSND-PEQ Band 1 Type"), "Peak");
  EXPECT_EQ(Get("VAPO3-Process Enable"), "0");
  EXPECT_EQ(Get("ZR3D-GEQ Band 5", "Movie"), "300");
  ASSERT_EQ(Run({"control", "reset", "VAPO3-Process Enable"}).code, 0);
  EXPECT_EQ(Get("VAPO3-Process Enable"), "1");

  // A private control is no panel's to set: refused, naming those that are.
  const HostResult unknown = Run({"control", "set", "ZR3D-GEQ Band 6", "100"});
  EXPECT_EQ(unknown.code, 2);
  EXPECT_NE(unknown.err.find("VAPO3-Process Enable, VAPO3-Mic Monitor Enable, "
                             "LUXSND-PEQ Band 1 Type, MY-Label, ZR3D-GEQ Band 5, ZR3D-GEQ Enable"),
            std::string::npos)
      << unknown.err;
}

}  // namespace
