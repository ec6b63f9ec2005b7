// End-to-end: `qorapo mode` lists a configuration's modes and switches the current one through the
// mode selector a running host watches.

#include "QORHostRunner.h"
#include "endpoint/QORAPOEndpointInfo.h"
#include "endpoint/QORAPOModeSelector.h"
#include "platform/QORComPtr.h"
#include "platform/QORMMDevice.h"

namespace {

using nlohmann::json;
using qortest::HostResult;

const GUID kDemo = {0x0DE30001, 0x51A7, 0x4C0E, {0x9A, 0x0D, 0x7E, 0x4D, 0x00, 0x00, 0x00, 0x01}};

// The mode the endpoint's selector holds, read as the host reads it.
bool StoredMode(QORAPOModeIdentity* out) {
  QORComPtr<IMMDevice> device;
  QORAPOEndpointInfo endpoint;
  QORMMDevice::Create(eRender, kDemo, device.Put());
  if (!endpoint.Init(device.Get(), true)) return false;
  QORAPOModeSelector selector;
  selector.Init(endpoint, QORAPOModeIdentity("VAPO3-Music", "VAPO3-Speakers"));
  return selector.GetMode(*out);
}

using ModeToolTest = qortest::HostToolTest;

TEST_F(ModeToolTest, ListGivesEveryPlainModeWithItsPublicControls) {
  const json modes = RunJson({"mode", "list", "--json"});
  // Six listening modes and two capture modes; the DSP-only mode is not the host's.
  ASSERT_EQ(modes.size(), 8u) << modes;
  EXPECT_EQ(modes[0], R"({"mode": "Music", "speaker": "Speakers", "current": true, "default": true,
      "identity": "ApoOpMode:VAPO3-Music/VAPO3-Speakers", "autoMic": false, "publicControls": [
      "MFX:ZR3D-AmploHD Enable", "MFX:ZR3D-GEQ Enable", "ZR3D-AmploHD Enable",
      "ZR3D-GEQ Enable", "ZR3D-GravHD Boost Enable"]})"_json);
  int current = 0, autoMic = 0;
  for (const json& mode : modes) {
    current += mode["current"] == true;
    autoMic += mode["autoMic"] == true;
  }
  EXPECT_EQ(current, 1);
  EXPECT_EQ(autoMic, 2);
  EXPECT_EQ(modes[5]["identity"], "ApoOpMode:VAPO3-Voice/VAPO3-Headphones");
  EXPECT_EQ(modes[5]["publicControls"], json{"NUV-Process Enable"});
}

TEST_F(ModeToolTest, SetStoresTheModeWhereTheHostReadsItAndGetReadsItBack) {
  EXPECT_EQ(RunJson({"mode", "get", "--json"}),
            R"({"mode": "Music", "speaker": "Speakers", "stored": false, "inConfiguration": true,
                "identity": "ApoOpMode:VAPO3-Music/VAPO3-Speakers"})"_json);
  EXPECT_EQ(RunJson({"mode", "set", "Movie", "Headphones", "--json"}),
            R"({"mode": "Movie", "speaker": "Headphones",
                "identity": "ApoOpMode:VAPO3-Movie/VAPO3-Headphones"})"_json);
  QORAPOModeIdentity stored;
  ASSERT_TRUE(StoredMode(&stored));
  EXPECT_EQ(stored.GetText(), "ApoOpMode:VAPO3-Movie/VAPO3-Headphones");
  qortest::ExpectFields(RunJson({"mode", "get", "--json"}),
                        {{"identity", "ApoOpMode:VAPO3-Movie/VAPO3-Headphones"}, {"stored", true}});

  // One half keeps the other; the slash form and the full names work too.
  HostResult result = Run({"mode", "set", "Voice"});
  ASSERT_EQ(result.code, 0) << result.err;
  EXPECT_EQ(result.out, "mode Voice/Headphones\n");
  ASSERT_TRUE(StoredMode(&stored));
  EXPECT_EQ(stored.GetText(), "ApoOpMode:VAPO3-Voice/VAPO3-Headphones");
  ASSERT_EQ(Run({"mode", "set", "VAPO3-Music/Speakers"}).code, 0);
  EXPECT_EQ(RunJson({"mode", "list", "--json"})[0]["current"], true);
}

TEST_F(ModeToolTest, ModesOutsideTheConfigurationOrPickedByTheCaptureSideAreRefused) {
  ASSERT_EQ(Run({"mode", "set", "Movie/Speakers"}).code, 0);
  for (const char* refused : {"Party", "Music/Earbuds", "Communication/Speakers"}) {
    const HostResult result = Run({"mode", "set", refused});
    EXPECT_EQ(result.code, 2) << refused;
    EXPECT_NE(result.err.find("use one of Music/Speakers, Movie/Speakers, Voice/Speakers, "
                              "Music/Headphones, Movie/Headphones, Voice/Headphones"),
              std::string::npos)
        << result.err;
  }
  EXPECT_NE(Run({"mode", "set", "Party"}).err.find("the configuration has no mode Party/Speakers"),
            std::string::npos);
  QORAPOModeIdentity stored;
  ASSERT_TRUE(StoredMode(&stored));
  EXPECT_EQ(stored.GetText(), "ApoOpMode:VAPO3-Movie/VAPO3-Speakers");
}

}  // namespace
