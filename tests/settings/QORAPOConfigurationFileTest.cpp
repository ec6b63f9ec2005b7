#include "settings/QORAPOConfigurationFile.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "TempStateRoot.h"
#include "common/QORTextConvert.h"
#include "settings/QORAPOChannelCode.h"
#include "settings/QORAPOConfigurationReader.h"
#include "settings/QORXMLDocumentCache.h"

namespace {

using Config = QORAPOConfigurationFile;
using Reader = QORAPOConfigurationReader;
constexpr uint32_t kAny = QORAPOChannelCode::kAnyLayout;

std::string Control(const std::string& name, const std::string& value,
                    const std::string& attributes = "") {
  return "<control name=\"" + name + "\"" + attributes + ">" + value + "</control>";
}
// An operating mode with the given identity and extra children.
std::string Mode(const std::string& mode, const std::string& speakers, const std::string& body = "",
                 const std::string& attributes = "") {
  return "<operating_mode" + attributes + ">" + Control("VAPO3-Operating Mode", mode) +
         Control("VAPO3-Speaker Type", speakers) + body + "</operating_mode>";
}
std::string Root(const std::string& body) {
  return "<qor_configuration>" + body + "</qor_configuration>";
}
const std::string kProperties = "<properties>" + Control("Product Name", "One") + "</properties>";
const std::string kMinimal = Root(kProperties + Mode("Music", "Speakers"));

std::string Text(const QORUTSValueList& list, const char* name) {
  const QORUTSValue* value = list.Find(name);
  return value != nullptr ? value->GetValueText() : "<absent>";
}

std::filesystem::path ExampleFile() {
  return std::filesystem::path(__FILE__).parent_path().parent_path().parent_path() / "examples" /
         "qorapo-laptop.xml";
}

class QORAPOConfigurationFileTest : public ::testing::Test {
 protected:
  // A document of kProperties followed by body.
  uint32_t Parse(const std::string& body, uint32_t selector = 0, uint32_t location = 0) {
    return config_.LoadFromText(Root(kProperties + body), selector, location);
  }
  QORAPOOperatingMode& ModeAt(size_t i) { return *config_.GetOperatingModes().at(i); }
  const std::vector<ChainEntry>& Chains() { return ModeAt(0).GetChainDefinition().GetEntries(); }
  std::vector<uint32_t> InputMasks() {
    std::vector<uint32_t> masks;
    for (const ChainEntry& chain : Chains()) masks.push_back(chain.inputMask);
    return masks;
  }
  std::string Found() { return found_ ? found_->GetModeIdentity().GetText() : "<none>"; }
  std::wstring PathOf(const std::string& name) const {
    return QORUtf8ToWide(root_.Path() + "/" + name);
  }
  std::wstring Write(const std::string& name, const std::string& content) const {
    std::ofstream(root_.Path() + "/" + name, std::ios::binary | std::ios::trunc) << content;
    return PathOf(name);
  }

  qortest::TempStateRoot root_;
  Config config_;
  std::shared_ptr<QORAPOOperatingMode> found_;
};

TEST_F(QORAPOConfigurationFileTest, RootAndResultCodes) {
  const std::string publicIdentity =
      "<operating_mode>" + Control("VAPO3-Operating Mode", "Music", " public=\"true\"") +
      Control("VAPO3-Speaker Type", "Speakers") + "</operating_mode>";
  const std::pair<std::string, uint32_t> cases[] = {
      {"<QOR_Configuration>" + kProperties + "</QOR_Configuration>", Config::kLoadOk},
      {"<qor_config>" + kProperties + "</qor_config>", Config::kLoadNoProperties},
      {"", Config::kLoadNoProperties},
      {Root(Mode("M", "S")), Config::kLoadNoProperties},
      {Root("<properties/>"), Config::kLoadEmptyProperties},
      // The last properties element or invalid mode decides.
      {Root(kProperties + "<properties/>"), Config::kLoadEmptyProperties},
      {Root(kProperties + Mode("M", "VAPO3-Disabled")), Config::kLoadInvalidMode},
      // The identity comes from private controls only; a missing speaker type is the disabled one.
      {Root(kProperties + publicIdentity), Config::kLoadInvalidMode},
      {Root(publicIdentity + kProperties), Config::kLoadOk},
  };
  for (const auto& [text, code] : cases) EXPECT_EQ(config_.LoadFromText(text, 0, 0), code) << text;
  EXPECT_TRUE(config_.GetOperatingModes().empty());
}

TEST_F(QORAPOConfigurationFileTest, PropertiesAndProductName) {
  ASSERT_EQ(config_.LoadFromText(
                Root("<Properties>" + Control("Product Name", "First") + Control("Empty", "") +
                     "<CONTROL name=\"B\">x<!-- n -->y<![CDATA[<z>]]></CONTROL>" +
                     Control("Product Name", "Caf\xC3\xA9") + "</Properties>"),
                0, 0),
            Config::kLoadOk);
  EXPECT_EQ(config_.GetProperties().Size(), 2u);
  EXPECT_EQ(Text(config_.GetProperties(), "B"), "xy<z>");
  EXPECT_EQ(Text(config_.GetProperties(), "Empty"), "<absent>");
  EXPECT_EQ(config_.GetProductName(), L"Caf\u00e9");
}

TEST_F(QORAPOConfigurationFileTest, ModeControlsAndIdentity) {
  const std::string t = " public=\"true\"";
  ASSERT_EQ(Parse(Mode("Music", "Speakers",
                       Control("Gain", "1", " public=\"TRUE\"") + Control("Gain", "2") +
                           Control("Width", "3", " public=\"yes\"") + Control("Level", "5", t))),
            Config::kLoadOk);
  ASSERT_EQ(config_.GetOperatingModes().size(), 1u);
  QORAPOOperatingMode& mode = ModeAt(0);
  EXPECT_EQ(mode.GetModeIdentity().GetText(), "ApoOpMode:Music/Speakers");
  EXPECT_EQ(mode.GetPublicControls().Size(), 2u);
  EXPECT_EQ(Text(mode.GetPublicControls(), "Gain"), "1");
  EXPECT_EQ(Text(mode.GetPublicControls(), "Level"), "5");
  EXPECT_EQ(mode.GetPrivateControls().Size(), 2u);  // identity controls removed
  EXPECT_EQ(Text(mode.GetPrivateControls(), "Width"), "3");
  EXPECT_EQ(mode.GetControls().Size(), 3u);
  EXPECT_EQ(Text(mode.GetControls(), "Gain"), "2");  // private wins
}

TEST_F(QORAPOConfigurationFileTest, SelectorAndAutoMic) {
  const std::string modes = Mode("Plain", "S", "", " auto_mic=\"TRUE\"") +
                            Mode("Dsp", "S", "", " selector=\"DSP\"") +
                            Mode("NotMic", "S", "", " auto_mic=\"yes\"");
  ASSERT_EQ(Parse(modes, Config::kSelectorPlain), Config::kLoadOk);
  ASSERT_EQ(config_.GetOperatingModes().size(), 2u);
  EXPECT_TRUE(ModeAt(0).IsAutoMic());
  EXPECT_FALSE(ModeAt(1).IsAutoMic());
  ASSERT_EQ(Parse(modes, Config::kSelectorDsp), Config::kLoadOk);
  ASSERT_EQ(config_.GetOperatingModes().size(), 1u);
  EXPECT_EQ(ModeAt(0).GetModeIdentity().GetMode().GetValueText(), "Dsp");
}

TEST_F(QORAPOConfigurationFileTest, SpeakerMasksAndPositionNames) {
  EXPECT_EQ(Reader::SpeakerMask("Stereo; 5.1 Surround"), 6u);
  EXPECT_EQ(Reader::SpeakerMask("Mono, 11.1 Surround"), 17u);
  EXPECT_EQ(Reader::SpeakerMask("stereo"), 0u);  // containment is exact case
  EXPECT_EQ(Reader::SpeakerMask(""), kAny);
  EXPECT_EQ(Reader::SpeakerMask("Mono;Any"), kAny);
  EXPECT_STREQ(Reader::PositionName(6), "Invalid APO location!");
}

TEST_F(QORAPOConfigurationFileTest, ChainsFollowTheLocation) {
  const std::string chains =
      "<chain input=\"Mono\"><process tech_id=\"L\"/></chain>"
      "<chain_v2 position=\"MFX\" input=\"Stereo; 5.1 Surround\"><process "
      "tech_id=\"M\"/></chain_v2>"
      "<chain_v2 input=\"Stereo\"><process tech_id=\"none\"/></chain_v2>"
      "<CHAIN_V2 position=\"MFX\" input=\"Quad\"><process tech_id=\"M2\"/></CHAIN_V2>";
  ASSERT_EQ(Parse(Mode("M", "S", chains), 0, 2), Config::kLoadOk);
  EXPECT_EQ(InputMasks(), (std::vector<uint32_t>{6u, 0u}));
  EXPECT_EQ(Chains()[1].processes[0].techId, "M2");
  ASSERT_EQ(Parse(Mode("M", "S", chains), 0, 0), Config::kLoadOk);
  EXPECT_EQ(InputMasks(), (std::vector<uint32_t>{1u}));
  ASSERT_EQ(Parse(Mode("M", "S", chains), 0, 6), Config::kLoadOk);
  EXPECT_TRUE(InputMasks().empty());
}

TEST_F(QORAPOConfigurationFileTest, ChainContents) {
  ASSERT_EQ(Parse(Mode("M", "S",
                       "<chain type=\"Capture\" output=\"Mono\"><process tech_id=\"P\" hook=\"H\"/>"
                       "<process instance_id=\"dropped\"/>" +
                           Control("K", "1") + Control("K", "2") + "</chain>")),
            Config::kLoadOk);
  ASSERT_EQ(Chains().size(), 1u);
  const ChainEntry& chain = Chains()[0];
  EXPECT_FALSE(chain.render);
  EXPECT_EQ(chain.outputMask, 1u);
  ASSERT_EQ(chain.processes.size(), 1u);
  EXPECT_EQ(chain.processes[0].hook, "H");
  EXPECT_EQ(Text(chain.controls, "K"), "2");
}

TEST_F(QORAPOConfigurationFileTest, DefaultMode) {
  EXPECT_EQ(config_.GetDefaultMode().GetText(), "ApoOpMode:VAPO3-Undefined/VAPO3-Disabled");
  const std::string movie = Control("VAPO3-Operating Mode", "Movie");
  // From the properties, even when no mode has that identity.
  ASSERT_EQ(
      config_.LoadFromText(Root("<properties>" + movie + Control("VAPO3-Speaker Type", "Phones") +
                                "</properties>" + Mode("Music", "Speakers")),
                           0, 0),
      Config::kLoadOk);
  EXPECT_EQ(config_.GetDefaultMode().GetText(), "ApoOpMode:Movie/Phones");
  // A failed load keeps the default of the last good one.
  EXPECT_EQ(config_.LoadFromText("<broken", 0, 0), Config::kLoadNoProperties);
  EXPECT_EQ(config_.GetDefaultMode().GetText(), "ApoOpMode:Movie/Phones");
  // Otherwise the first mode.
  const std::string properties = "<properties>" + movie + "</properties>";
  ASSERT_EQ(config_.LoadFromText(Root(properties + Mode("Music", "S") + Mode("Voice", "S")), 0, 0),
            Config::kLoadOk);
  EXPECT_EQ(config_.GetDefaultMode().GetText(), "ApoOpMode:Music/S");
  EXPECT_TRUE(config_.SetDefaultMode());
  // No mode at all: still loaded, default from the properties as far as they go.
  ASSERT_EQ(config_.LoadFromText(Root(properties), 0, 0), Config::kLoadOk);
  EXPECT_EQ(config_.GetDefaultMode().GetText(), "ApoOpMode:Movie/VAPO3-Disabled");
  EXPECT_FALSE(config_.SetDefaultMode());
}

TEST_F(QORAPOConfigurationFileTest, FindOperatingMode) {
  ASSERT_EQ(Parse(Mode("Music", "S", Control("N", "1")) + Mode("Music", "S", Control("N", "2")) +
                  Mode("Voice", "S")),
            Config::kLoadOk);
  EXPECT_TRUE(config_.FindOperatingMode(QORAPOModeIdentity("Voice", "S"), found_));
  EXPECT_EQ(Found(), "ApoOpMode:Voice/S");
  EXPECT_FALSE(config_.FindOperatingMode(QORAPOModeIdentity("Music", "S"), found_));
  EXPECT_EQ(Text(found_->GetControls(), "N"), "2");  // the last match
  const auto before = found_;
  EXPECT_FALSE(config_.FindOperatingMode(QORAPOModeIdentity("music", "S"), found_));
  EXPECT_EQ(found_, before);
  // Without an auto-microphone mode of that speaker type, the exact match is taken, even when it
  // is one of two.
  EXPECT_TRUE(config_.FindAutoMicMode(QORAPOModeIdentity("Music", "S"), found_));
  EXPECT_EQ(Text(found_->GetControls(), "N"), "2");
  found_.reset();
  EXPECT_FALSE(config_.FindAutoMicMode(QORAPOModeIdentity("Movie", "S"), found_));
  EXPECT_FALSE(found_);
}

TEST_F(QORAPOConfigurationFileTest, FindAutoMicMode) {
  const std::string mic = " auto_mic=\"true\"";
  ASSERT_EQ(Parse(Mode("Music", "Speakers") + Mode("Talk", "Speakers", "", mic) +
                  Mode("Talk", "Phones", "", mic) + Mode("Call", "Phones", "", mic)),
            Config::kLoadOk);
  // The auto-microphone mode of the speaker type is preferred over the exact match.
  ASSERT_TRUE(config_.FindAutoMicMode(QORAPOModeIdentity("Music", "Speakers"), found_));
  EXPECT_EQ(Found(), "ApoOpMode:Talk/Speakers");
  // An exact match is not counted among the auto-microphone ones.
  ASSERT_TRUE(config_.FindAutoMicMode(QORAPOModeIdentity("Talk", "Speakers"), found_));
  EXPECT_EQ(Found(), "ApoOpMode:Talk/Speakers");
  ASSERT_TRUE(config_.FindAutoMicMode(QORAPOModeIdentity("Talk", "Phones"), found_));
  EXPECT_EQ(Found(), "ApoOpMode:Call/Phones");
  // Two candidates: not unique; the result holds the last.
  EXPECT_FALSE(config_.FindAutoMicMode(QORAPOModeIdentity("Music", "Phones"), found_));
  EXPECT_EQ(Found(), "ApoOpMode:Call/Phones");
}

TEST_F(QORAPOConfigurationFileTest, UnreadablePlacesGiveSix) {
  std::filesystem::create_directory(root_.Path() + "/folder.xml");
  ASSERT_EQ(::mkfifo((root_.Path() + "/pipe.xml").c_str(), 0600), 0);
  std::filesystem::resize_file(Write("huge.xml", kMinimal), QORXMLDocumentCache::kMaxFileBytes + 1);
  for (const std::wstring& path : {PathOf("missing.xml"), PathOf("folder.xml"), PathOf("pipe.xml"),
                                   PathOf("huge.xml"), Write("empty.xml", "")}) {
    EXPECT_EQ(config_.Load(path, 0, 0), Config::kLoadNoProperties) << QORWideToUtf8(path);
  }
}

TEST_F(QORAPOConfigurationFileTest, APathIsParsedOncePerProcess) {
  const std::wstring path = Write("cached.xml", kMinimal);
  ASSERT_EQ(config_.Load(path, 0, 0), Config::kLoadOk);
  // Changes on disk are not seen, not even by another object, and not even when the file is gone.
  const std::string empty = Root("<properties/>");
  Write("cached.xml", empty);
  Config other;
  EXPECT_EQ(other.Load(path, 0, 0), Config::kLoadOk);
  EXPECT_EQ(other.GetProductName(), L"One");
  std::filesystem::remove(QORWideToUtf8(path));
  EXPECT_EQ(config_.Load(path, 0, 0), Config::kLoadOk);
  EXPECT_EQ(config_.GetOperatingModes().size(), 1u);
  EXPECT_EQ(QORXMLDocumentCache::Get(path), QORXMLDocumentCache::Get(path));
  // The same file under another spelling of its path is another entry.
  Write("cached.xml", empty);
  EXPECT_EQ(config_.Load(PathOf("./cached.xml"), 0, 0), Config::kLoadEmptyProperties);

  // A parse failure is tried again.
  const std::wstring late = Write("late.xml", "<qor_configuration><properties>");
  EXPECT_EQ(config_.Load(late, 0, 0), Config::kLoadNoProperties);
  Write("late.xml", kMinimal);
  EXPECT_EQ(config_.Load(late, 0, 0), Config::kLoadOk);
}

TEST_F(QORAPOConfigurationFileTest, HostileDocuments) {
  // Nesting past tinyxml2's depth limit fails to parse instead of exhausting the stack (within
  // the limit the unknown elements would simply be ignored).
  std::string nested;
  for (int i = 0; i < 100000; ++i) nested += "<a>";
  for (int i = 0; i < 100000; ++i) nested += "</a>";
  EXPECT_EQ(config_.Load(Write("deep.xml", Root(kProperties + nested)), 0, 0),
            Config::kLoadNoProperties);

  // Internal entities are not expanded: the reference stays literal text.
  ASSERT_EQ(
      config_.Load(Write("laughs.xml",
                         "<?xml version=\"1.0\"?><!DOCTYPE qor_configuration ["
                         "<!ENTITY a \"aaaaaaaaaa\"><!ENTITY b \"&a;&a;&a;&a;&a;&a;&a;\">]>" +
                             Root("<properties>" + Control("Laugh", "&b;") + "</properties>")),
                   0, 0),
      Config::kLoadOk);
  EXPECT_EQ(Text(config_.GetProperties(), "Laugh"), "&b;");

  // Bytes that are not UTF-8 stay as they are in control values; the product name shows them
  // as replacement characters.
  ASSERT_EQ(config_.Load(
                Write("latin1.xml", Root("<properties>" + Control("Product Name", "Caf\xE9\xFF") +
                                         "</properties>")),
                0, 0),
            Config::kLoadOk);
  EXPECT_EQ(Text(config_.GetProperties(), "Product Name"), "Caf\xE9\xFF");
  EXPECT_EQ(config_.GetProductName(), L"Caf\uFFFD\uFFFD");
}

TEST_F(QORAPOConfigurationFileTest, ExampleConfiguration) {
  const std::wstring path = QORUtf8ToWide(ExampleFile().string());
  ASSERT_EQ(config_.Load(path, 0, 0), Config::kLoadOk);
  EXPECT_EQ(config_.GetProductName(), L"QOR Labs Laptop Audio");
  EXPECT_EQ(config_.GetDefaultMode().GetText(), "ApoOpMode:VAPO3-Music/VAPO3-Speakers");
  ASSERT_EQ(config_.GetOperatingModes().size(), 8u);

  ASSERT_TRUE(config_.FindOperatingMode(config_.GetDefaultMode(), found_));
  EXPECT_EQ(found_->GetControls().Find("SP-Ceiling")->GetIndex(), -300);
  const auto chainOf = [&](uint32_t in, uint32_t out, bool render) {
    ChainEntry chain;
    return found_->GetChainDefinition().FindChain(in, out, chain, render) ? chain : ChainEntry();
  };
  const ChainEntry surround =
      chainOf(QORAPOChannelCode::kSurround51, QORAPOChannelCode::kStereo, true);
  ASSERT_FALSE(surround.processes.empty());
  EXPECT_EQ(surround.processes[0].techId, "Downmix");

  // The microphone side picks its communication mode by speaker type.
  ASSERT_TRUE(
      config_.FindAutoMicMode(QORAPOModeIdentity("VAPO3-Voice", "VAPO3-Headphones"), found_));
  EXPECT_EQ(Found(), "ApoOpMode:VAPO3-Communication/VAPO3-Headphones");
  const ChainEntry mic = chainOf(QORAPOChannelCode::kMono, QORAPOChannelCode::kMono, false);
  ASSERT_FALSE(mic.processes.empty());
  EXPECT_EQ(mic.processes[0].techId, "QOR AEC/NR");

  ASSERT_EQ(config_.Load(path, Config::kSelectorDsp, 3), Config::kLoadOk);
  ASSERT_EQ(config_.GetOperatingModes().size(), 1u);
  EXPECT_EQ(Chains().size(), 1u);
}

}  // namespace
