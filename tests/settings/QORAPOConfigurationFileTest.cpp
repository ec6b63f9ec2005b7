#include "settings/QORAPOConfigurationFile.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <fstream>
#include <string>
#include <tuple>

#include "TempStateRoot.h"
#include "common/QORTextConvert.h"

namespace {

using Config = QORAPOConfigurationFile;

std::string Control(const std::string& name, const std::string& value) {
  return "<control name=\"" + name + "\">" + value + "</control>";
}
std::string Root(const std::string& body) {
  return "<qor_configuration>" + body + "</qor_configuration>";
}
std::string Repeat(const std::string& unit, size_t count) {
  std::string out;
  for (size_t i = 0; i < count; ++i) out += unit;
  return out;
}
std::string Attributes(size_t count) {
  std::string out;
  for (size_t i = 0; i < count; ++i) out += " a" + std::to_string(i) + "=\"\"";
  return out;
}
const std::string kProperties = "<properties>" + Control("Product Name", "One") + "</properties>";

class QORAPOConfigurationFileTest : public ::testing::Test {
 protected:
  std::wstring Write(const std::string& name, const std::string& content) const {
    std::ofstream(root_.Path() + "/" + name, std::ios::binary | std::ios::trunc) << content;
    return QORUtf8ToWide(root_.Path() + "/" + name);
  }
  std::string Text(const char* name) {
    const QORUTSValue* value = config_.GetProperties().Find(name);
    return value != nullptr ? value->GetValueText() : "<absent>";
  }

  qortest::TempStateRoot root_;
  Config config_;
};

TEST_F(QORAPOConfigurationFileTest, ResultCodes) {
#ifndef _WIN32
  ASSERT_EQ(::mkfifo((root_.Path() + "/pipe.xml").c_str(), 0600), 0);  // must not block
#endif
  const std::string mode = "<operating_mode>" + Control("VAPO3-Operating Mode", "M") +
                           Control("VAPO3-Speaker Type", "VAPO3-Disabled") + "</operating_mode>";
  // File name, content ("": not written) and the code.
  const std::tuple<const char*, std::string, uint32_t> cases[] = {
      {"missing.xml", "", Config::kLoadNoProperties},
      {"pipe.xml", "", Config::kLoadNoProperties},
      {"empty.xml", Root("<properties/>"), Config::kLoadEmptyProperties},
      {"invalid.xml", Root(kProperties + mode), Config::kLoadInvalidMode},
      // A valid file past 16 MiB is refused rather than read whole into memory.
      {"huge.xml", Root(kProperties + "<!--" + std::string(17 << 20, 'x') + "-->"),
       Config::kLoadNoProperties},
      // Bytes that are not UTF-8 become replacement characters; entities are not expanded.
      {"latin1.xml",
       Root("<properties>" + Control("Product Name", "Caf\xE9\xFF") + "</properties>"),
       Config::kLoadOk},
      {"entity.xml",
       "<?xml version=\"1.0\"?><!DOCTYPE qor_configuration [<!ENTITY a \"aaaa\">]>" +
           Root("<properties>" + Control("Laugh", "&a;") + Control("Note", "x<!--c-->y") +
                "</properties>"),
       Config::kLoadOk},
  };
  for (const auto& [name, content, code] : cases) {
    const std::wstring path =
        content.empty() ? QORUtf8ToWide(root_.Path() + "/" + name) : Write(name, content);
    EXPECT_EQ(config_.Load(path, 0, 0), code) << name;
  }
  EXPECT_EQ(Text("Laugh"), "&a;");
  EXPECT_EQ(Text("Note"), "xy");
  ASSERT_EQ(config_.Load(Write("latin1.xml", ""), 0, 0), Config::kLoadOk);  // parsed once
  EXPECT_EQ(config_.GetProductName(), L"Caf\uFFFD\uFFFD");
}

// Generated documents past each bound are refused as unreadable, quickly: tinyxml2 alone would
// spend minutes on the attributes of one element or on unended character references.
TEST_F(QORAPOConfigurationFileTest, DocumentsPastTheBoundsAreRefusedQuickly) {
  // The limits a configuration's author is promised, written out here so a changed bound fails.
  constexpr size_t kAttributesPerElement = 64;
  constexpr size_t kAttributes = 400000;
  constexpr size_t kElements = 100000;
  constexpr size_t kDepth = 32;
  constexpr size_t kTextBytes = 64 * 1024;
  constexpr size_t kCharacterReferenceBytes = 32;
  const auto nested = [](size_t levels) {  // the root is the first level
    return Repeat("<x>", levels - 1) + Repeat("</x>", levels - 1);
  };
  const auto product = [](const std::string& text) {
    return "<properties>" + Control("Product Name", text) + "</properties>";
  };
  const std::string xs = std::string(kTextBytes + 1, 'x');
  const size_t perElement = kAttributesPerElement;
  // Content inside the root, and whether it loads.
  const std::tuple<const char*, std::string, bool> cases[] = {
      {"attributes at the bound", kProperties + "<x" + Attributes(perElement) + "/>", true},
      {"attributes past the bound", kProperties + "<x" + Attributes(perElement + 1) + "/>", false},
      {"160,000 attributes", kProperties + "<x" + Attributes(160000) + "/>", false},
      {"on an end tag", kProperties + "<x></x" + Attributes(perElement + 1) + ">", false},
      {"attributes in total",
       kProperties + Repeat("<x" + Attributes(50) + "/>", kAttributes / 50 + 1), false},
      {"nesting at the bound", kProperties + nested(kDepth), true},
      {"nesting past the bound", kProperties + nested(kDepth + 1), false},
      // The root, properties and its control are 3 elements.
      {"elements at the bound", kProperties + Repeat("<x/>", kElements - 3), true},
      {"elements past the bound", kProperties + Repeat("<x/>", kElements - 2), false},
      {"text at the bound", product(std::string(kTextBytes, 'x')), true},
      {"text past the bound", product(xs), false},
      {"value past the bound", kProperties + "<x a=\"" + xs + "\"/>", false},
      {"CDATA past the bound", product("<![CDATA[" + xs + "]]>"), false},
      {"'>' in a value", kProperties + "<x a=\">\"" + Attributes(perElement) + "/>", false},
      {"character references", product("&#65;&#x10FFFF;&#0000000000066;"), true},
      {"a reference ended too far away",
       product("&#" + std::string(kCharacterReferenceBytes, '0') + ";"), false},
      {"unended references", product(Repeat("&#", 30000)), false},
  };
  for (const auto& [name, body, loads] : cases) {
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(config_.LoadFromText(Root(body), 0, 0),
              loads ? Config::kLoadOk : Config::kLoadNoProperties)
        << name;
    // Far above the linear cost even under sanitizers, far below the quadratic one.
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5)) << name;
  }
}

}  // namespace
