#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "TraceCapture.h"
#include "settings/QORAPOChannelCode.h"
#include "settings/QORAPOConfigurationFile.h"
#include "settings/QORAPOConfigurationReader.h"

namespace {

using Config = QORAPOConfigurationFile;
constexpr uint32_t kAny = QORAPOChannelCode::kAnyLayout;

const char* const kProperties =
    "<properties><control name=\"Product Name\">Laptop</control></properties>";

// An operating mode with the given identity and extra children.
std::string Mode(const std::string& mode, const std::string& speakers, const std::string& body = "",
                 const std::string& attributes = "") {
  return "<operating_mode" + attributes + "><control name=\"VAPO3-Operating Mode\">" + mode +
         "</control><control name=\"VAPO3-Speaker Type\">" + speakers + "</control>" + body +
         "</operating_mode>";
}

std::string Root(const std::string& body) {
  return "<qor_configuration>" + body + "</qor_configuration>";
}

std::string Text(const QORUTSValueList& list, const char* name) {
  const QORUTSValue* value = list.Find(name);
  return value != nullptr ? value->GetValueText() : "<absent>";
}

// The input masks of the first mode's chains, in order.
std::vector<uint32_t> InputMasks(const Config& config) {
  std::vector<uint32_t> masks;
  for (const ChainEntry& chain :
       config.GetOperatingModes().at(0)->GetChainDefinition().GetEntries()) {
    masks.push_back(chain.inputMask);
  }
  return masks;
}

TEST(QORAPOConfigurationFile, RootAndResultCodes) {
  Config config;
  EXPECT_EQ(config.LoadFromText(
                "<QOR_Configuration>" + std::string(kProperties) + "</QOR_Configuration>", 0, 0),
            Config::kLoadOk);
  EXPECT_EQ(config.LoadFromText("<qor_config>" + std::string(kProperties) + "</qor_config>", 0, 0),
            Config::kLoadNoProperties);
  EXPECT_EQ(config.LoadFromText("<qor_configuration/>", 0, 0), Config::kLoadNoProperties);
  EXPECT_EQ(config.LoadFromText("<qor_configuration>", 0, 0), Config::kLoadNoProperties);
  EXPECT_EQ(config.LoadFromText("", 0, 0), Config::kLoadNoProperties);
  EXPECT_EQ(config.LoadFromText(Root(Mode("M", "S")), 0, 0), Config::kLoadNoProperties);
  EXPECT_EQ(config.LoadFromText(Root("<properties/>"), 0, 0), Config::kLoadEmptyProperties);
  // A comment is a child node: the properties are present, just without controls.
  EXPECT_EQ(config.LoadFromText(Root("<properties><!-- none --></properties>"), 0, 0),
            Config::kLoadOk);
  // The last properties element or invalid mode decides.
  EXPECT_EQ(config.LoadFromText(Root("<properties/>" + std::string(kProperties)), 0, 0),
            Config::kLoadOk);
  EXPECT_EQ(config.LoadFromText(Root(std::string(kProperties) + "<properties/>"), 0, 0),
            Config::kLoadEmptyProperties);
  EXPECT_EQ(config.LoadFromText(Root(std::string(kProperties) + Mode("M", "VAPO3-Disabled")), 0, 0),
            Config::kLoadInvalidMode);
  EXPECT_EQ(config.LoadFromText(Root(Mode("VAPO3-Undefined", "S") + kProperties), 0, 0),
            Config::kLoadOk);
  EXPECT_TRUE(config.GetOperatingModes().empty());
}

TEST(QORAPOConfigurationFile, PropertiesAndProductName) {
  Config config;
  ASSERT_EQ(config.LoadFromText(Root("<Properties>"
                                     "<control name=\"Product Name\">First</control>"
                                     "<control name=\"A\">1</control>"
                                     "<control name=\"\">no name</control>"
                                     "<control name=\"Empty\"></control>"
                                     "<control>no name at all</control>"
                                     "<CONTROL name=\"B\">x<!-- note -->y<![CDATA[<z>]]></CONTROL>"
                                     "<control name=\"C\">a&amp;b<inner>skipped</inner></control>"
                                     "<other name=\"D\">4</other>"
                                     "<control name=\"Product Name\">Caf\xC3\xA9</control>"
                                     "</Properties>"),
                                0, 0),
            Config::kLoadOk);
  const QORUTSValueList& properties = config.GetProperties();
  EXPECT_EQ(properties.Size(), 4u);
  EXPECT_EQ(Text(properties, "A"), "1");
  EXPECT_EQ(Text(properties, "B"), "xy<z>");
  EXPECT_EQ(Text(properties, "C"), "a&b");
  EXPECT_EQ(Text(properties, "Empty"), "<absent>");
  EXPECT_EQ(Text(properties, "D"), "<absent>");
  EXPECT_EQ(config.GetProductName(), L"Caf\u00e9");
  // A later load starts from nothing.
  ASSERT_EQ(
      config.LoadFromText(Root("<properties><control name=\"X\">1</control></properties>"), 0, 0),
      Config::kLoadOk);
  EXPECT_EQ(config.GetProperties().Size(), 1u);
  EXPECT_EQ(config.GetProductName(), L"");
}

TEST(QORAPOConfigurationFile, ModeControlsAndIdentity) {
  Config config;
  const std::string body =
      "<control name=\"Gain\" public=\"TRUE\">1</control>"
      "<control name=\"Gain\">2</control>"
      "<control name=\"Width\" public=\"yes\">3</control>"
      "<control name=\"Level\" public=\"true\">4</control>"
      "<control name=\"Level\" public=\"true\">5</control>";
  ASSERT_EQ(
      config.LoadFromText(Root(std::string(kProperties) + Mode("Music", "Speakers", body)), 0, 0),
      Config::kLoadOk);
  ASSERT_EQ(config.GetOperatingModes().size(), 1u);
  QORAPOOperatingMode& mode = *config.GetOperatingModes()[0];
  EXPECT_EQ(mode.GetModeIdentity().GetText(), "ApoOpMode:Music/Speakers");
  EXPECT_EQ(mode.GetPublicControls().Size(), 2u);
  EXPECT_EQ(Text(mode.GetPublicControls(), "Gain"), "1");
  EXPECT_EQ(Text(mode.GetPublicControls(), "Level"), "5");
  EXPECT_EQ(mode.GetPrivateControls().Size(), 2u);  // identity controls removed
  EXPECT_EQ(Text(mode.GetPrivateControls(), "Width"), "3");
  EXPECT_EQ(Text(mode.GetPrivateControls(), "VAPO3-Operating Mode"), "<absent>");
  EXPECT_EQ(mode.GetControls().Size(), 3u);
  EXPECT_EQ(Text(mode.GetControls(), "Gain"), "2");  // private wins
  EXPECT_EQ(Text(mode.GetControls(), "Level"), "5");
  EXPECT_FALSE(mode.IsAutoMic());
}

TEST(QORAPOConfigurationFile, IdentityOnlyFromPrivateControls) {
  Config config;
  const std::string publicIdentity =
      "<operating_mode><control name=\"VAPO3-Operating Mode\" public=\"true\">Music</control>"
      "<control name=\"VAPO3-Speaker Type\">Speakers</control></operating_mode>";
  EXPECT_EQ(config.LoadFromText(Root(std::string(kProperties) + publicIdentity), 0, 0),
            Config::kLoadInvalidMode);
  EXPECT_TRUE(config.GetOperatingModes().empty());
  EXPECT_EQ(config.LoadFromText(Root(publicIdentity + kProperties), 0, 0), Config::kLoadOk);
  // A missing speaker type is the disabled one.
  EXPECT_EQ(config.LoadFromText(
                Root(std::string(kProperties) + "<operating_mode><control name=\"VAPO3-Operating "
                                                "Mode\">Music</control></operating_mode>"),
                0, 0),
            Config::kLoadInvalidMode);
}

TEST(QORAPOConfigurationFile, SelectorAndAutoMic) {
  const std::string file =
      Root(std::string(kProperties) + Mode("Plain", "S") +
           Mode("Dsp", "S", "", " selector=\"DSP\"") + Mode("Other", "S", "", " selector=\"x\"") +
           Mode("Blank", "S", "", " selector=\"\" auto_mic=\"TRUE\"") +
           Mode("NotMic", "S", "", " auto_mic=\"yes\""));
  Config config;
  ASSERT_EQ(config.LoadFromText(file, Config::kSelectorPlain, 0), Config::kLoadOk);
  ASSERT_EQ(config.GetOperatingModes().size(), 3u);
  EXPECT_EQ(config.GetOperatingModes()[0]->GetModeIdentity().GetMode().GetValueText(), "Plain");
  EXPECT_TRUE(config.GetOperatingModes()[1]->IsAutoMic());
  EXPECT_FALSE(config.GetOperatingModes()[2]->IsAutoMic());
  EXPECT_EQ(config.GetSelectorMode(), 0u);

  ASSERT_EQ(config.LoadFromText(file, Config::kSelectorDsp, 0), Config::kLoadOk);
  ASSERT_EQ(config.GetOperatingModes().size(), 1u);
  EXPECT_EQ(config.GetOperatingModes()[0]->GetModeIdentity().GetMode().GetValueText(), "Dsp");
  EXPECT_EQ(config.GetSelectorMode(), 1u);

  ASSERT_EQ(config.LoadFromText(file, 2, 0), Config::kLoadOk);
  EXPECT_TRUE(config.GetOperatingModes().empty());
  EXPECT_EQ(config.GetSelectorMode(), 2u);
}

TEST(QORAPOConfigurationFile, SpeakerMasks) {
  EXPECT_EQ(QORAPOConfigurationReader::SpeakerMask("Stereo; 5.1 Surround"), 6u);
  EXPECT_EQ(QORAPOConfigurationReader::SpeakerMask("Quadraphonic"), 0u);
  EXPECT_EQ(QORAPOConfigurationReader::SpeakerMask(nullptr), kAny);
  EXPECT_EQ(QORAPOConfigurationReader::SpeakerMask(""), kAny);
  EXPECT_EQ(QORAPOConfigurationReader::SpeakerMask("Mono,Stereo;7.1 Surround, 11.1 Surround"), 27u);
  EXPECT_EQ(QORAPOConfigurationReader::SpeakerMask(" Stereo ;;,"), 2u);
  EXPECT_EQ(QORAPOConfigurationReader::SpeakerMask("stereo"), 0u);  // containment is exact case
  EXPECT_EQ(QORAPOConfigurationReader::SpeakerMask("Mono;Any"), kAny);
  // The first listed name wins within a piece.
  EXPECT_EQ(QORAPOConfigurationReader::SpeakerMask("Stereo Mono"), 1u);
}

TEST(QORAPOConfigurationFile, ChainsFollowTheLocation) {
  const std::string chains =
      "<chain input=\"Mono\"><process tech_id=\"L\"/></chain>"
      "<chain_v2 position=\"MFX\" input=\"Stereo; 5.1 Surround\"><process "
      "tech_id=\"M\"/></chain_v2>"
      "<chain_v2 position=\"mfx\" input=\"Stereo\"><process tech_id=\"m\"/></chain_v2>"
      "<chain_v2 position=\"SFX\" input=\"Stereo\"><process tech_id=\"S\"/></chain_v2>"
      "<chain_v2 input=\"Stereo\"><process tech_id=\"none\"/></chain_v2>"
      "<CHAIN_V2 position=\"MFX\" input=\"Quad\"><process tech_id=\"M2\"/></CHAIN_V2>";
  const std::string file = Root(std::string(kProperties) + Mode("M", "S", chains));
  Config config;
  ASSERT_EQ(config.LoadFromText(file, 0, 2), Config::kLoadOk);
  EXPECT_EQ(InputMasks(config), (std::vector<uint32_t>{6u, 0u}));
  EXPECT_EQ(config.GetOperatingModes()[0]->GetChainDefinition().GetEntries()[1].processes[0].techId,
            "M2");
  ASSERT_EQ(config.LoadFromText(file, 0, 0), Config::kLoadOk);
  EXPECT_EQ(InputMasks(config), (std::vector<uint32_t>{1u}));
  ASSERT_EQ(config.LoadFromText(file, 0, 1), Config::kLoadOk);
  EXPECT_EQ(InputMasks(config), (std::vector<uint32_t>{2u}));
  for (uint32_t location : {3u, 6u, 0xFFFFFFFFu}) {
    ASSERT_EQ(config.LoadFromText(file, 0, location), Config::kLoadOk);
    EXPECT_TRUE(InputMasks(config).empty()) << location;
  }
  EXPECT_STREQ(QORAPOConfigurationReader::PositionName(5), "OMFX");
  EXPECT_STREQ(QORAPOConfigurationReader::PositionName(6), "Invalid APO location!");
}

TEST(QORAPOConfigurationFile, ChainContents) {
  const std::string chains =
      "<chain type=\"Capture\" output=\"Mono\">"
      "<process tech_id=\"Sidechain Pipe\" hook=\"Sidechain Pipe\"/>"
      "<process instance_id=\"dropped\"/><process tech_id=\"\" instance_id=\"dropped\"/>"
      "<control name=\"K\">1</control><control name=\"K\">2</control>"
      "<Process tech_id=\"QOR AEC/NR\" instance_id=\"AEC\"/></chain>"
      "<chain type=\"render\"><process instance_id=\"only\"/><control "
      "name=\"K\">1</control></chain>"
      "<chain type=\"playback\"><process tech_id=\"ZR3D\" instance_id=\"Main\"/></chain>";
  Config config;
  ASSERT_EQ(config.LoadFromText(Root(std::string(kProperties) + Mode("M", "S", chains)), 0, 0),
            Config::kLoadOk);
  const auto& entries = config.GetOperatingModes()[0]->GetChainDefinition().GetEntries();
  ASSERT_EQ(entries.size(), 2u);
  EXPECT_FALSE(entries[0].render);
  EXPECT_EQ(entries[0].inputMask, kAny);
  EXPECT_EQ(entries[0].outputMask, 1u);
  ASSERT_EQ(entries[0].processes.size(), 2u);
  EXPECT_EQ(entries[0].processes[0].hook, "Sidechain Pipe");
  EXPECT_EQ(entries[0].processes[0].instanceId, "");
  EXPECT_EQ(entries[0].processes[1].techId, "QOR AEC/NR");
  EXPECT_EQ(entries[0].processes[1].instanceId, "AEC");
  EXPECT_EQ(Text(entries[0].controls, "K"), "2");
  EXPECT_TRUE(entries[1].render);
  EXPECT_EQ(entries[1].processes[0].techId, "ZR3D");
}

TEST(QORAPOConfigurationFile, DefaultMode) {
  qortest::TraceCapture trace;
  Config config;
  EXPECT_EQ(config.GetDefaultMode().GetText(), "ApoOpMode:VAPO3-Undefined/VAPO3-Disabled");
  // From the properties, even when no mode has that identity.
  ASSERT_EQ(config.LoadFromText(Root("<properties>"
                                     "<control name=\"VAPO3-Operating Mode\">Movie</control>"
                                     "<control name=\"VAPO3-Speaker Type\">Phones</control>"
                                     "</properties>" +
                                     Mode("Music", "Speakers")),
                                0, 0),
            Config::kLoadOk);
  EXPECT_EQ(config.GetDefaultMode().GetText(), "ApoOpMode:Movie/Phones");
  // A failed load keeps the default of the last good one.
  EXPECT_EQ(config.LoadFromText("<broken", 0, 0), Config::kLoadNoProperties);
  EXPECT_EQ(config.GetDefaultMode().GetText(), "ApoOpMode:Movie/Phones");
  // Otherwise the first mode.
  ASSERT_EQ(config.LoadFromText(Root("<properties><control name=\"VAPO3-Operating Mode\">Movie"
                                     "</control></properties>" +
                                     Mode("Music", "Speakers") + Mode("Voice", "Speakers")),
                                0, 0),
            Config::kLoadOk);
  EXPECT_EQ(config.GetDefaultMode().GetText(), "ApoOpMode:Music/Speakers");
  EXPECT_TRUE(trace.LinesContaining("SetDefaultMode returning false").empty());
  // No mode at all: still loaded, default from the properties as far as they go.
  ASSERT_EQ(config.LoadFromText(Root("<properties><control name=\"VAPO3-Operating Mode\">Movie"
                                     "</control></properties>"),
                                0, 0),
            Config::kLoadOk);
  EXPECT_EQ(config.GetDefaultMode().GetText(), "ApoOpMode:Movie/VAPO3-Disabled");
  EXPECT_FALSE(config.SetDefaultMode());
  const auto lines = trace.LinesContaining("SetDefaultMode returning false...no modes available.");
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_NE(lines[0].find("QORAPOConfigurationFile("), std::string::npos);
  EXPECT_NE(lines[0].find("| QORAPOConfigurationFile::SetDefaultMode | "), std::string::npos);
}

TEST(QORAPOConfigurationFile, FindOperatingMode) {
  Config config;
  ASSERT_EQ(config.LoadFromText(Root(std::string(kProperties) +
                                     Mode("Music", "Speakers", "<control name=\"N\">1</control>") +
                                     Mode("Music", "Speakers", "<control name=\"N\">2</control>") +
                                     Mode("Voice", "Speakers")),
                                0, 0),
            Config::kLoadOk);
  std::shared_ptr<QORAPOOperatingMode> out;
  EXPECT_TRUE(config.FindOperatingMode(QORAPOModeIdentity("Voice", "Speakers"), out));
  ASSERT_TRUE(out);
  EXPECT_EQ(out->GetModeIdentity().GetText(), "ApoOpMode:Voice/Speakers");
  EXPECT_FALSE(config.FindOperatingMode(QORAPOModeIdentity("Music", "Speakers"), out));
  EXPECT_EQ(Text(out->GetControls(), "N"), "2");  // the last match
  const auto before = out;
  EXPECT_FALSE(config.FindOperatingMode(QORAPOModeIdentity("music", "Speakers"), out));
  EXPECT_EQ(out, before);

  // Without an auto-microphone mode of that speaker type, the exact match is taken, even when it
  // is one of two.
  EXPECT_TRUE(config.FindAutoMicMode(QORAPOModeIdentity("Music", "Speakers"), out));
  EXPECT_EQ(Text(out->GetControls(), "N"), "2");
  out.reset();
  EXPECT_FALSE(config.FindAutoMicMode(QORAPOModeIdentity("Movie", "Speakers"), out));
  EXPECT_FALSE(out);
}

TEST(QORAPOConfigurationFile, FindAutoMicMode) {
  const std::string mic = " auto_mic=\"true\"";
  Config config;
  ASSERT_EQ(
      config.LoadFromText(Root(std::string(kProperties) + Mode("Music", "Speakers") +
                               Mode("Talk", "Speakers", "", mic) + Mode("Talk", "Phones", "", mic) +
                               Mode("Call", "Phones", "", mic)),
                          0, 0),
      Config::kLoadOk);
  std::shared_ptr<QORAPOOperatingMode> out;
  // The auto-microphone mode of the speaker type is preferred over the exact match.
  ASSERT_TRUE(config.FindAutoMicMode(QORAPOModeIdentity("Music", "Speakers"), out));
  EXPECT_EQ(out->GetModeIdentity().GetText(), "ApoOpMode:Talk/Speakers");
  // An exact match is not counted among the auto-microphone ones.
  ASSERT_TRUE(config.FindAutoMicMode(QORAPOModeIdentity("Talk", "Speakers"), out));
  EXPECT_EQ(out->GetModeIdentity().GetText(), "ApoOpMode:Talk/Speakers");
  ASSERT_TRUE(config.FindAutoMicMode(QORAPOModeIdentity("Talk", "Phones"), out));
  EXPECT_EQ(out->GetModeIdentity().GetText(), "ApoOpMode:Call/Phones");
  // Two candidates: not unique; out holds the last.
  EXPECT_FALSE(config.FindAutoMicMode(QORAPOModeIdentity("Music", "Phones"), out));
  EXPECT_EQ(out->GetModeIdentity().GetText(), "ApoOpMode:Call/Phones");
}

TEST(QORAPOConfigurationFile, ModesOutliveALaterLoad) {
  Config config;
  ASSERT_EQ(config.LoadFromText(Root(std::string(kProperties) + Mode("Music", "Speakers")), 0, 0),
            Config::kLoadOk);
  std::shared_ptr<QORAPOOperatingMode> held = config.GetOperatingModes()[0];
  ASSERT_EQ(config.LoadFromText(Root(std::string(kProperties) + Mode("Voice", "Phones")), 0, 0),
            Config::kLoadOk);
  EXPECT_EQ(held->GetModeIdentity().GetText(), "ApoOpMode:Music/Speakers");
  EXPECT_EQ(config.GetOperatingModes()[0]->GetModeIdentity().GetText(), "ApoOpMode:Voice/Phones");
}

}  // namespace
