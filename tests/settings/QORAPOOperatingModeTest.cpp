#include <gtest/gtest.h>

#include <string>
#include <tuple>

#include "settings/QORAPOChainDefinition.h"
#include "settings/QORAPOChannelCode.h"
#include "settings/QORAPOModeIdentity.h"

namespace {

constexpr uint32_t kAny = QORAPOChannelCode::kAnyLayout;

ChainEntry Chain(uint32_t in, uint32_t out, bool render, const char* tech) {
  ChainEntry entry;
  entry.inputMask = in;
  entry.outputMask = out;
  entry.render = render;
  entry.processes.push_back({tech, std::string(tech) + "1", ""});
  return entry;
}

TEST(QORAPOChainDefinition, FindChain) {
  QORAPOChainDefinition definition;
  for (const ChainEntry& entry :
       {Chain(0, kAny, true, "NoInput"), Chain(2, 2, true, "Stereo"),
        Chain(2 | 4 | 8, kAny, true, "Upto71"), Chain(kAny, kAny, false, "Capture")}) {
    definition.GetEntries().push_back(entry);
  }
  // Input code, output code, render side, and the chain found (nullptr: none). A multi-bit code
  // matches when any bit is shared; codes that name no layout find nothing.
  const std::tuple<uint32_t, uint32_t, bool, const char*> cases[] = {
      {2, 2, true, "Stereo"}, {3, 2, true, "Stereo"},   {4, 2, true, "Upto71"},
      {16, 2, true, nullptr}, {2, 2, false, "Capture"}, {0, 2, true, nullptr},
  };
  for (const auto& [in, outMask, render, found] : cases) {
    ChainEntry out = Chain(1, 1, true, "Untouched");
    EXPECT_EQ(definition.FindChain(in, outMask, out, render), found != nullptr) << in << render;
    EXPECT_EQ(out.processes.at(0).techId, found != nullptr ? found : "Untouched") << in << render;
  }
}

TEST(QORAPOModeIdentity, TextForm) {
  EXPECT_EQ(QORAPOModeIdentity().GetText(), "ApoOpMode:VAPO3-Undefined/VAPO3-Disabled");
  EXPECT_EQ(QORAPOModeIdentity("Music", "Speakers").GetTextWide(), L"ApoOpMode:Music/Speakers");
}

}  // namespace
