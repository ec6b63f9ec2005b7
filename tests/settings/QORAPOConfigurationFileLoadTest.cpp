#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "TempStateRoot.h"
#include "TraceCapture.h"
#include "common/QORTextConvert.h"
#include "settings/QORAPOChannelCode.h"
#include "settings/QORAPOConfigurationFile.h"
#include "settings/QORXMLDocumentCache.h"

namespace {

using Config = QORAPOConfigurationFile;

const char* const kMinimal =
    "<qor_configuration><properties><control name=\"Product Name\">One</control></properties>"
    "<operating_mode><control name=\"VAPO3-Operating Mode\">Music</control>"
    "<control name=\"VAPO3-Speaker Type\">Speakers</control></operating_mode></qor_configuration>";

std::filesystem::path ExampleFile() {
  return std::filesystem::path(__FILE__).parent_path().parent_path().parent_path() / "examples" /
         "qorapo-laptop.xml";
}

class QORAPOConfigurationFileLoad : public ::testing::Test {
 protected:
  std::wstring PathOf(const std::string& name) const {
    return QORUtf8ToWide(root_.Path() + "/" + name);
  }
  std::wstring Write(const std::string& name, const std::string& content) const {
    std::ofstream(root_.Path() + "/" + name, std::ios::binary | std::ios::trunc) << content;
    return PathOf(name);
  }

  qortest::TempStateRoot root_;
  Config config_;
};

TEST_F(QORAPOConfigurationFileLoad, UnreadablePlacesGiveSix) {
  qortest::TraceCapture trace;
  std::filesystem::create_directory(root_.Path() + "/folder.xml");
  ASSERT_EQ(::mkfifo((root_.Path() + "/pipe.xml").c_str(), 0600), 0);
  std::filesystem::resize_file(Write("huge.xml", kMinimal), QORXMLDocumentCache::kMaxFileBytes + 1);
  for (const std::wstring& path : {PathOf("missing.xml"), PathOf("folder.xml"), PathOf("pipe.xml"),
                                   PathOf("huge.xml"), std::wstring(), Write("empty.xml", "")}) {
    EXPECT_EQ(config_.Load(path, 0, 0), Config::kLoadNoProperties) << QORWideToUtf8(path);
    EXPECT_TRUE(config_.GetOperatingModes().empty());
  }
  EXPECT_EQ(trace.LinesContaining("pXML->load 0").size(), 6u);
  EXPECT_TRUE(trace.LinesContaining("pXML->load 1").empty());
  EXPECT_TRUE(trace.LinesContaining("get_documentElement").empty());
}

TEST_F(QORAPOConfigurationFileLoad, FileWithoutReadPermission) {
  if (::geteuid() == 0) GTEST_SKIP() << "root reads every file";
  const std::wstring path = Write("locked.xml", kMinimal);
  std::filesystem::permissions(QORWideToUtf8(path), std::filesystem::perms::none);
  EXPECT_EQ(config_.Load(path, 0, 0), Config::kLoadNoProperties);
}

TEST_F(QORAPOConfigurationFileLoad, TracesTheDocument) {
  qortest::TraceCapture trace;
  ASSERT_EQ(config_.Load(Write("good.xml", kMinimal), 0, 0), Config::kLoadOk);
  EXPECT_EQ(trace.LinesContaining("| QORAPOConfigurationFile::Load | pXML->load 1").size(), 1u);
  EXPECT_EQ(trace.LinesContaining("pXML->get_documentElement 0x").size(), 1u);
  EXPECT_EQ(config_.GetProductName(), L"One");
  EXPECT_EQ(config_.GetDefaultMode().GetText(), "ApoOpMode:Music/Speakers");
}

TEST_F(QORAPOConfigurationFileLoad, APathIsParsedOncePerProcess) {
  const std::wstring path = Write("cached.xml", kMinimal);
  ASSERT_EQ(config_.Load(path, 0, 0), Config::kLoadOk);
  // Changes on disk are not seen, not even by another object, and not even when the file is gone.
  Write("cached.xml", "<qor_configuration><properties/></qor_configuration>");
  Config other;
  EXPECT_EQ(other.Load(path, 0, 0), Config::kLoadOk);
  EXPECT_EQ(other.GetProductName(), L"One");
  std::filesystem::remove(QORWideToUtf8(path));
  EXPECT_EQ(config_.Load(path, 0, 0), Config::kLoadOk);
  EXPECT_EQ(config_.GetOperatingModes().size(), 1u);
  EXPECT_EQ(QORXMLDocumentCache::Get(path), QORXMLDocumentCache::Get(path));
  // The same file under another spelling of its path is another entry.
  Write("cached.xml", "<qor_configuration><properties/></qor_configuration>");
  EXPECT_EQ(config_.Load(PathOf("./cached.xml"), 0, 0), Config::kLoadEmptyProperties);
}

TEST_F(QORAPOConfigurationFileLoad, FailuresAreTriedAgain) {
  const std::wstring path = Write("late.xml", "<qor_configuration><properties>");
  EXPECT_EQ(config_.Load(path, 0, 0), Config::kLoadNoProperties);
  EXPECT_EQ(QORXMLDocumentCache::Get(path), nullptr);
  Write("late.xml", kMinimal);
  EXPECT_EQ(config_.Load(path, 0, 0), Config::kLoadOk);
  // A document that parsed but is not a configuration stays cached.
  const std::wstring wrong = Write("wrong.xml", "<other><properties/></other>");
  EXPECT_EQ(config_.Load(wrong, 0, 0), Config::kLoadNoProperties);
  Write("wrong.xml", kMinimal);
  EXPECT_EQ(config_.Load(wrong, 0, 0), Config::kLoadNoProperties);
}

TEST_F(QORAPOConfigurationFileLoad, HostileDocuments) {
  // Nesting past tinyxml2's depth limit fails to parse instead of exhausting the stack (within
  // the limit the unknown elements would simply be ignored).
  std::string deep = "<qor_configuration><properties><control name=\"A\">1</control></properties>";
  for (int i = 0; i < 100000; ++i) deep += "<a>";
  for (int i = 0; i < 100000; ++i) deep += "</a>";
  deep += "</qor_configuration>";
  EXPECT_EQ(config_.Load(Write("deep.xml", deep), 0, 0), Config::kLoadNoProperties);

  // Internal entities are not expanded: the reference stays literal text.
  const std::string laughs =
      "<?xml version=\"1.0\"?><!DOCTYPE qor_configuration [<!ENTITY a \"aaaaaaaaaa\">"
      "<!ENTITY b \"&a;&a;&a;&a;&a;&a;&a;&a;&a;&a;\"><!ENTITY c "
      "\"&b;&b;&b;&b;&b;&b;&b;&b;&b;&b;\">]>"
      "<qor_configuration><properties><control name=\"Laugh\">&c;</control></properties>"
      "</qor_configuration>";
  ASSERT_EQ(config_.Load(Write("laughs.xml", laughs), 0, 0), Config::kLoadOk);
  EXPECT_EQ(config_.GetProperties().Find("Laugh")->GetValueText(), "&c;");

  // A long attribute value is kept whole.
  const std::string longName(1 << 20, 'N');
  ASSERT_EQ(
      config_.Load(Write("long.xml", "<qor_configuration><properties><control name=\"" + longName +
                                         "\">1</control></properties>"
                                         "</qor_configuration>"),
                   0, 0),
      Config::kLoadOk);
  EXPECT_NE(config_.GetProperties().Find(longName), nullptr);

  // Bytes that are not UTF-8 stay as they are in control values; the product name shows them
  // as replacement characters.
  ASSERT_EQ(config_.Load(Write("latin1.xml",
                               "<qor_configuration><properties>"
                               "<control name=\"Product Name\">Caf\xE9\xFF</control>"
                               "</properties></qor_configuration>"),
                         0, 0),
            Config::kLoadOk);
  EXPECT_EQ(config_.GetProperties().Find("Product Name")->GetValueText(), "Caf\xE9\xFF");
  EXPECT_EQ(config_.GetProductName(), L"Caf\uFFFD\uFFFD");

  // A NUL byte ends the document.
  const std::string withNul = std::string(kMinimal) + std::string(1, '\0') + "<junk";
  EXPECT_EQ(config_.Load(Write("nul.xml", withNul), 0, 0), Config::kLoadOk);
}

TEST_F(QORAPOConfigurationFileLoad, ObjectsInManyThreadsShareOneDocument) {
  const std::filesystem::path example = ExampleFile();
  const std::wstring path = Write("shared.xml", [&] {
    std::ifstream in(example, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
  }());
  std::vector<std::thread> threads;
  std::vector<int> failures(4, 0);
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < 20; ++i) {
        Config config;
        if (config.Load(path, 0, static_cast<uint32_t>(i % 6)) != Config::kLoadOk ||
            config.GetOperatingModes().size() != 8u ||
            config.GetProductName() != L"QOR Labs Laptop Audio") {
          ++failures[t];
        }
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(failures, std::vector<int>(4, 0));
}

TEST_F(QORAPOConfigurationFileLoad, ExampleConfiguration) {
  const std::wstring path = QORUtf8ToWide(ExampleFile().string());
  ASSERT_EQ(config_.Load(path, 0, 0), Config::kLoadOk);
  EXPECT_EQ(config_.GetProductName(), L"QOR Labs Laptop Audio");
  EXPECT_EQ(config_.GetDefaultMode().GetText(), "ApoOpMode:VAPO3-Music/VAPO3-Speakers");
  EXPECT_EQ(config_.GetProperties().Find("VAPO3-Metering Mode")->GetValueText(), "VAPO3-Both");
  ASSERT_EQ(config_.GetOperatingModes().size(), 8u);

  std::shared_ptr<QORAPOOperatingMode> mode;
  ASSERT_TRUE(config_.FindOperatingMode(config_.GetDefaultMode(), mode));
  EXPECT_EQ(mode->GetPublicControls().Find("ZR3D-GravHD Boost Enable")->GetIndex(), 1);
  EXPECT_EQ(mode->GetControls().Find("SP-Ceiling")->GetIndex(), -300);
  ChainEntry chain;
  ASSERT_TRUE(mode->GetChainDefinition().FindChain(QORAPOChannelCode::kStereo,
                                                   QORAPOChannelCode::kStereo, chain, true));
  ASSERT_EQ(chain.processes.size(), 2u);
  EXPECT_EQ(chain.processes[0].techId, "ZR3D");
  ASSERT_TRUE(mode->GetChainDefinition().FindChain(QORAPOChannelCode::kSurround51,
                                                   QORAPOChannelCode::kStereo, chain, true));
  EXPECT_EQ(chain.processes[0].techId, "Downmix");

  // The microphone side picks its communication mode by speaker type.
  ASSERT_TRUE(config_.FindAutoMicMode(QORAPOModeIdentity("VAPO3-Voice", "VAPO3-Headphones"), mode));
  EXPECT_EQ(mode->GetModeIdentity().GetText(), "ApoOpMode:VAPO3-Communication/VAPO3-Headphones");
  ASSERT_TRUE(mode->GetChainDefinition().FindChain(QORAPOChannelCode::kMono,
                                                   QORAPOChannelCode::kMono, chain, false));
  EXPECT_EQ(chain.processes[0].techId, "QOR AEC/NR");

  // Every position a render APO can take finds a stereo chain in the default mode, except the
  // ones the file leaves to the stream effect.
  for (uint32_t location = 1; location <= 5; ++location) {
    Config positioned;
    ASSERT_EQ(positioned.Load(path, 0, location), Config::kLoadOk);
    ASSERT_TRUE(positioned.FindOperatingMode(positioned.GetDefaultMode(), mode));
    const bool found = mode->GetChainDefinition().FindChain(
        QORAPOChannelCode::kStereo, QORAPOChannelCode::kStereo, chain, true);
    EXPECT_EQ(found, location == 1 || location == 3 || location == 4) << location;
  }
  ASSERT_EQ(config_.Load(path, Config::kSelectorDsp, 3), Config::kLoadOk);
  ASSERT_EQ(config_.GetOperatingModes().size(), 1u);
  EXPECT_EQ(config_.GetOperatingModes()[0]->GetChainDefinition().GetEntries().size(), 1u);
}

}  // namespace
