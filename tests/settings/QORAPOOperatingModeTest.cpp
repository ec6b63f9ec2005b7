#include <gtest/gtest.h>

#include <memory>

#include "settings/QORAPOChainDefinition.h"
#include "settings/QORAPOChannelCode.h"
#include "settings/QORAPOModeIdentity.h"
#include "settings/QORAPOOperatingMode.h"

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

TEST(QORAPOChannelCode, CodesAndCounts) {
  const uint32_t counts[] = {1, 2, 6, 8, 12};
  const uint32_t codes[] = {1, 2, 4, 8, 16};
  for (int i = 0; i < 5; ++i) {
    EXPECT_EQ(QORAPOChannelCode::FromChannelCount(counts[i]), codes[i]);
    EXPECT_EQ(QORAPOChannelCode::ChannelCount(codes[i]), counts[i]);
  }
  EXPECT_EQ(QORAPOChannelCode::FromChannelCount(3), 0u);
  EXPECT_EQ(QORAPOChannelCode::ChannelCount(6), 0u);
  EXPECT_EQ(QORAPOChannelCode::FromLayoutName("stereo"), 0u);
}

// Each case: input code, output code, render side, and the chain found (nullptr: none).
TEST(QORAPOChainDefinition, FindChain) {
  QORAPOChainDefinition definition;
  ChainEntry out;
  EXPECT_FALSE(definition.FindChain(2, 2, out, true));  // no entries
  for (const ChainEntry& entry :
       {Chain(0, kAny, true, "NoInput"), Chain(2, 2, true, "Stereo"),
        Chain(2 | 4 | 8, kAny, true, "Upto71"), Chain(kAny, kAny, false, "Capture")}) {
    definition.GetEntries().push_back(entry);
  }
  const uint32_t ins[] = {2, 3, 4, 8, 16, 2, 0, kAny, 2, 2, 16};
  const uint32_t outs[] = {2, 2, 2, 16, 2, 2, 2, 2, 0, kAny, 16};
  const bool render[] = {true, true, true, true, true, false, true, true, true, true, false};
  // A multi-bit code still matches when any bit is shared; codes that name no layout find nothing.
  const char* const found[] = {"Stereo", "Stereo", "Upto71", "Upto71", nullptr,  "Capture",
                               nullptr,  nullptr,  nullptr,  nullptr,  "Capture"};
  for (size_t i = 0; i < std::size(ins); ++i) {
    out = Chain(1, 1, true, "Untouched");
    EXPECT_EQ(definition.FindChain(ins[i], outs[i], out, render[i]), found[i] != nullptr) << i;
    EXPECT_EQ(out.processes.at(0).techId, found[i] != nullptr ? found[i] : "Untouched") << i;
    EXPECT_TRUE(found[i] == nullptr || out.render == render[i]) << i;
  }
}

TEST(QORAPOModeIdentity, DefaultsValidityTextAndEquality) {
  const QORAPOModeIdentity fresh;
  EXPECT_EQ(fresh.GetMode().GetName(), "VAPO3-Operating Mode");
  EXPECT_EQ(fresh.GetText(), "ApoOpMode:VAPO3-Undefined/VAPO3-Disabled");
  EXPECT_FALSE(fresh.IsValid());
  EXPECT_FALSE(QORAPOModeIdentity("Music", "VAPO3-Disabled").IsValid());
  EXPECT_FALSE(QORAPOModeIdentity("VAPO3-Undefined", "Speakers").IsValid());

  const QORAPOModeIdentity music("Music", "Speakers");
  EXPECT_TRUE(music.IsValid());
  EXPECT_EQ(music.GetTextWide(), L"ApoOpMode:Music/Speakers");
  EXPECT_EQ(music, QORAPOModeIdentity("Music", "Speakers"));
  EXPECT_NE(music, QORAPOModeIdentity("music", "Speakers"));
}

TEST(QORAPOOperatingMode, CopiesAreDeep) {
  auto source = std::make_shared<QORAPOOperatingMode>();
  source->GetModeIdentity().GetMode().SetValueText("Movie");
  source->GetPublicControls().Set(QORUTSValue("Pub", "1"));
  source->GetChainDefinition().GetEntries().push_back(Chain(2, 2, true, "T"));
  source->SetAutoMic(true);

  QORAPOOperatingMode copy(*source);
  copy.GetPublicControls().Set(QORUTSValue("Pub", "9"));
  copy.GetChainDefinition().GetEntries()[0].controls.Set(QORUTSValue("C", "4"));
  copy.GetModeIdentity().GetMode().SetValueText("Game");

  EXPECT_EQ(source->GetPublicControls().Find("Pub")->GetValueText(), "1");
  EXPECT_TRUE(source->GetChainDefinition().GetEntries()[0].controls.Empty());
  EXPECT_EQ(source->GetModeIdentity().GetMode().GetValueText(), "Movie");
  QORAPOOperatingMode assigned;
  assigned = copy;
  EXPECT_TRUE(assigned.IsAutoMic());
  EXPECT_EQ(assigned.GetModeIdentity().GetMode().GetValueText(), "Game");
}

}  // namespace
