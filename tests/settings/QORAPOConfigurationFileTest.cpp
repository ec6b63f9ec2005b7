#include "settings/QORAPOConfigurationFile.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <string>
#include <tuple>
#include <vector>

#include "TempStateRoot.h"
#include "common/QORTextConvert.h"
#include "settings/QORAPOChannelCode.h"

namespace {

using Config = QORAPOConfigurationFile;

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
  return std::filesystem::path(QOR_SOURCE_DIR) / "examples" / "qorapo-laptop.xml";
}

class QORAPOConfigurationFileTest : public ::testing::Test {
 protected:
  // A document of kProperties followed by body.
  uint32_t Parse(const std::string& body, uint32_t selector = 0, uint32_t location = 0) {
    return config_.LoadFromText(Root(kProperties + body), selector, location);
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

TEST_F(QORAPOConfigurationFileTest, ResultCodes) {
  std::filesystem::create_directory(root_.Path() + "/folder.xml");
  ASSERT_EQ(::mkfifo((root_.Path() + "/pipe.xml").c_str(), 0600), 0);  // must not block
  std::string nested;
  for (int i = 0; i < 100000; ++i) nested += "<a>";
  for (int i = 0; i < 100000; ++i) nested += "</a>";
  // File name, content (none: not written) and the code.
  const std::tuple<const char*, std::optional<std::string>, uint32_t> cases[] = {
      {"missing.xml", std::nullopt, Config::kLoadNoProperties},
      {"folder.xml", std::nullopt, Config::kLoadNoProperties},
      {"pipe.xml", std::nullopt, Config::kLoadNoProperties},
      {"latin1.xml",
       Root("<properties>" + Control("Product Name", "Caf\xE9\xFF") + "</properties>"),
       Config::kLoadOk},
      {"deep.xml", Root(kProperties + nested), Config::kLoadNoProperties},
      {"entity.xml",
       "<?xml version=\"1.0\"?><!DOCTYPE qor_configuration [<!ENTITY a \"aaaa\">]>" +
           Root("<properties>" + Control("Laugh", "&a;") + Control("Note", "x<!--c-->y") +
                "</properties>"),
       Config::kLoadOk},
      {"root.xml", "<qor_config>" + kProperties + "</qor_config>", Config::kLoadNoProperties},
      {"empty.xml", Root("<properties/>"), Config::kLoadEmptyProperties},
      {"invalid.xml", Root(kProperties + Mode("M", "VAPO3-Disabled")), Config::kLoadInvalidMode},
      // A valid file past 16 MiB is refused rather than read whole into memory.
      {"huge.xml", Root(kProperties + "<!--" + std::string(17 << 20, 'x') + "-->"),
       Config::kLoadNoProperties},
  };
  for (const auto& [name, content, code] : cases) {
    const std::wstring path = content ? Write(name, *content) : PathOf(name);
    EXPECT_EQ(config_.Load(path, 0, 0), code) << name;
  }
  // Bytes that are not UTF-8 become replacement characters; entities are not expanded.
  ASSERT_EQ(config_.Load(PathOf("latin1.xml"), 0, 0), Config::kLoadOk);
  EXPECT_EQ(config_.GetProductName(), L"Caf\uFFFD\uFFFD");
  ASSERT_EQ(config_.Load(PathOf("entity.xml"), 0, 0), Config::kLoadOk);
  EXPECT_EQ(Text(config_.GetProperties(), "Laugh"), "&a;");
  EXPECT_EQ(Text(config_.GetProperties(), "Note"), "xy");
}

TEST_F(QORAPOConfigurationFileTest, APathIsParsedOncePerProcess) {
  const std::wstring path = Write("cached.xml", kMinimal);
  ASSERT_EQ(config_.Load(path, 0, 0), Config::kLoadOk);
  Write("cached.xml", Root("<properties/>"));
  Config other;
  EXPECT_EQ(other.Load(path, 0, 0), Config::kLoadOk);
  EXPECT_EQ(other.GetProductName(), L"One");
  // The same file under another spelling of its path is another entry.
  EXPECT_EQ(config_.Load(PathOf("./cached.xml"), 0, 0), Config::kLoadEmptyProperties);
}

TEST_F(QORAPOConfigurationFileTest, SetDefaultMode) {
  const std::string properties =
      "<properties>" + Control("VAPO3-Operating Mode", "Movie") + "</properties>";
  ASSERT_EQ(config_.LoadFromText(Root(properties + Mode("Music", "S")), 0, 0), Config::kLoadOk);
  EXPECT_EQ(config_.GetDefaultMode().GetText(), "ApoOpMode:Music/S");
  EXPECT_TRUE(config_.SetDefaultMode());
  // No mode at all: default from the properties as far as they go.
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
  EXPECT_EQ(Text(found_->GetControls(), "N"), "2");  // not unique: the last match
}

TEST_F(QORAPOConfigurationFileTest, FindAutoMicMode) {
  const std::string mic = " auto_mic=\"true\"";
  ASSERT_EQ(Parse(Mode("Music", "Speakers") + Mode("Talk", "Speakers", "", mic) +
                  Mode("Talk", "Phones", "", mic) + Mode("Call", "Phones", "", mic)),
            Config::kLoadOk);
  // The auto-microphone mode of the speaker type is preferred over the exact match.
  ASSERT_TRUE(config_.FindAutoMicMode(QORAPOModeIdentity("Music", "Speakers"), found_));
  EXPECT_EQ(Found(), "ApoOpMode:Talk/Speakers");
  // Two candidates: not unique; the result holds the last.
  EXPECT_FALSE(config_.FindAutoMicMode(QORAPOModeIdentity("Music", "Phones"), found_));
  EXPECT_EQ(Found(), "ApoOpMode:Call/Phones");
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
}

}  // namespace
