#include "settings/QORAPOConfigurationFile.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <future>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "TempStateRoot.h"
#include "common/QORTextConvert.h"
#include "settings/QORAPOChannelCode.h"
#include "settings/QORXMLDocumentCache.h"

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
  return std::filesystem::path(QOR_EXAMPLES_DIR) / "qorapo-laptop.xml";
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

// The path is checked and opened in one step: a path that turns into a FIFO between the two would
// otherwise hold Load in an open that waits for a writer.
TEST_F(QORAPOConfigurationFileTest, APathSwappedWithAFifoNeverBlocksLoad) {
  const std::string path = root_.Path() + "/flip.xml";
  const std::string fifo = root_.Path() + "/other.xml";
  // Not a configuration, so nothing is cached and every Load opens the path again.
  std::ofstream(path) << "not a configuration";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);

  // Swapped atomically, so the path is always one or the other.
  std::atomic<bool> stop{false};
  std::thread flipper([&] {
    while (!stop.load()) {
      ASSERT_EQ(::renameat2(AT_FDCWD, path.c_str(), AT_FDCWD, fifo.c_str(), RENAME_EXCHANGE), 0);
    }
  });
  // The window between a check and a second open is a few microseconds wide: it takes thousands
  // of loads to hit it.
  constexpr int kTrials = 30000;
  std::atomic<int> done{0};
  int unexpected = 0;
  auto loads = std::async(std::launch::async, [&] {
    Config config;
    for (int i = 0; i < kTrials; ++i) {
      if (config.Load(QORUtf8ToWide(path), 0, 0) != Config::kLoadNoProperties) ++unexpected;
      ++done;
    }
  });
  // Blocked: no load finished for ten seconds.
  bool finished = false;
  for (int last = -1, idle = 0; !finished && idle < 10;) {
    finished = loads.wait_for(std::chrono::seconds(1)) == std::future_status::ready;
    idle = done == last ? idle + 1 : 0;
    last = done;
  }
  stop = true;
  flipper.join();
  // A blocked open waits for a writer: give it one (wherever the FIFO now is) to end the test.
  for (int attempt = 0; !finished && attempt < 600; ++attempt) {
    for (const std::string& name : {path, fifo}) {
      const int writer = ::open(name.c_str(), O_WRONLY | O_NONBLOCK);
      if (writer >= 0) ::close(writer);
    }
    if (loads.wait_for(std::chrono::milliseconds(100)) == std::future_status::ready) break;
  }
  loads.get();
  EXPECT_TRUE(finished) << "Load blocked on the FIFO";
  EXPECT_EQ(unexpected, 0);
}

// Generated documents past each bound are refused as unreadable, quickly: tinyxml2 alone would
// spend minutes on the attributes of one element or on unended character references.
TEST_F(QORAPOConfigurationFileTest, DocumentsPastTheBoundsAreRefusedQuickly) {
  using Cache = QORXMLDocumentCache;
  const auto repeat = [](const std::string& unit, size_t count) {
    std::string out;
    out.reserve(unit.size() * count);
    for (size_t i = 0; i < count; ++i) out += unit;
    return out;
  };
  const auto attributes = [&](size_t count) {
    std::string out;
    for (size_t i = 0; i < count; ++i) out += " a" + std::to_string(i) + "=\"\"";
    return out;
  };
  const auto nested = [&](size_t levels) {  // the root is the first level
    return repeat("<x>", levels - 1) + repeat("</x>", levels - 1);
  };
  const auto properties = [](const std::string& text) {
    return "<properties>" + Control("Product Name", text) + "</properties>";
  };
  const std::string longReference =
      "&#" + std::string(Cache::kMaxCharacterReferenceBytes, '0') + ";";
  // Content inside the root, and whether it loads.
  const std::tuple<const char*, std::string, bool> cases[] = {
      {"attributes at the bound",
       kProperties + "<x" + attributes(Cache::kMaxAttributesPerElement) + "/>", true},
      {"attributes past the bound",
       kProperties + "<x" + attributes(Cache::kMaxAttributesPerElement + 1) + "/>", false},
      {"160,000 attributes", kProperties + "<x" + attributes(160000) + "/>", false},
      {"attributes on an end tag",
       kProperties + "<x></x" + attributes(Cache::kMaxAttributesPerElement + 1) + ">", false},
      {"attributes in total",
       kProperties + repeat("<x" + attributes(50) + "/>", Cache::kMaxAttributes / 50 + 1), false},
      {"nesting at the bound", kProperties + nested(Cache::kMaxDepth), true},
      {"nesting past the bound", kProperties + nested(Cache::kMaxDepth + 1), false},
      {"empty elements do not nest", kProperties + repeat("<x/>", 1000), true},
      // The root, properties and its control are 3 elements.
      {"elements at the bound", kProperties + repeat("<x/>", Cache::kMaxElements - 3), true},
      {"elements past the bound", kProperties + repeat("<x/>", Cache::kMaxElements - 2), false},
      {"text at the bound", properties(std::string(Cache::kMaxTextBytes, 'x')), true},
      {"text past the bound", properties(std::string(Cache::kMaxTextBytes + 1, 'x')), false},
      {"value past the bound",
       kProperties + "<x a=\"" + std::string(Cache::kMaxTextBytes + 1, 'x') + "\"/>", false},
      {"CDATA past the bound",
       properties("<![CDATA[" + std::string(Cache::kMaxTextBytes + 1, 'x') + "]]>"), false},
      {"comments are not texts",
       kProperties + "<!--" + std::string(Cache::kMaxTextBytes + 1, 'x') + "-->", true},
      {"a '>' in a value does not end the tag",
       kProperties + "<x a=\">\"" + attributes(Cache::kMaxAttributesPerElement) + "/>", false},
      {"character references", properties("&#65;&#x10FFFF;&#0000000000066;"), true},
      {"a reference ended too far away", properties(longReference), false},
      {"unended references", properties(repeat("&#", 30000)), false},
      {"unended references in values", kProperties + "<x a=\"" + repeat("&#", 30000) + "\"/>",
       false},
  };
  for (const auto& [name, body, loads] : cases) {
    const auto start = std::chrono::steady_clock::now();
    const uint32_t code = config_.LoadFromText(Root(body), 0, 0);
    const auto elapsed = std::chrono::steady_clock::now() - start;
    EXPECT_EQ(code, loads ? Config::kLoadOk : Config::kLoadNoProperties) << name;
    // Far above the linear cost even under sanitizers, far below the quadratic one.
    EXPECT_LT(elapsed, std::chrono::seconds(5)) << name;
  }
  // tinyxml2 reads nothing after a NUL, so nothing there counts either.
  EXPECT_EQ(config_.LoadFromText(
                Root(kProperties) + std::string(1, '\0') + "<x" + attributes(100000) + "/>", 0, 0),
            Config::kLoadOk);

  // From a file too, with the unreadable result.
  const std::wstring path =
      Write("attributes.xml", Root(kProperties + "<x" + attributes(160000) + "/>"));
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(config_.Load(path, 0, 0), Config::kLoadNoProperties);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
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
