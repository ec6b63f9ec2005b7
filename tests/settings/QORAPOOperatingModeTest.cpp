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
  for (uint32_t other : {0u, 3u, 4u, 7u, 16u}) {
    EXPECT_EQ(QORAPOChannelCode::FromChannelCount(other), 0u) << other;
  }
  for (uint32_t other : {0u, 3u, 6u, 32u, kAny}) {
    EXPECT_EQ(QORAPOChannelCode::ChannelCount(other), 0u) << other;
  }
  EXPECT_EQ(QORAPOChannelCode::FromLayoutName("11.1 Surround"), 16u);
  EXPECT_EQ(QORAPOChannelCode::FromLayoutName("stereo"), 0u);
}

TEST(QORAPOChainDefinition, FirstMatchInOrder) {
  QORAPOChainDefinition definition;
  definition.GetEntries().push_back(Chain(2, 2, true, "StereoChain"));
  definition.GetEntries().push_back(Chain(kAny, kAny, true, "AnyChain"));
  ChainEntry out;
  ASSERT_TRUE(definition.FindChain(2, 2, out, true));
  EXPECT_EQ(out.processes[0].techId, "StereoChain");
  ASSERT_TRUE(definition.FindChain(4, 2, out, true));
  EXPECT_EQ(out.processes[0].techId, "AnyChain");
  ASSERT_TRUE(definition.FindChain(16, 16, out, true));
  EXPECT_EQ(out.processes[0].techId, "AnyChain");
  // A multi-bit code still matches when any bit is shared.
  ASSERT_TRUE(definition.FindChain(3, 2, out, true));
  EXPECT_EQ(out.processes[0].techId, "StereoChain");
}

TEST(QORAPOChainDefinition, CodesThatNameNoLayoutFindNothing) {
  QORAPOChainDefinition definition;
  ChainEntry out;
  EXPECT_FALSE(definition.FindChain(2, 2, out, true));  // no entries
  definition.GetEntries().push_back(Chain(kAny, kAny, true, "AnyChain"));
  out.processes.push_back({"Untouched", "", ""});
  EXPECT_FALSE(definition.FindChain(0, 2, out, true));
  EXPECT_FALSE(definition.FindChain(kAny, 2, out, true));
  EXPECT_FALSE(definition.FindChain(2, 0, out, true));
  EXPECT_FALSE(definition.FindChain(2, kAny, out, true));
  ASSERT_EQ(out.processes.size(), 1u);
  EXPECT_EQ(out.processes[0].techId, "Untouched");
}

TEST(QORAPOChainDefinition, DirectionAndMasksMustFit) {
  QORAPOChainDefinition definition;
  definition.GetEntries().push_back(Chain(kAny, kAny, false, "Capture"));
  ChainEntry out;
  EXPECT_FALSE(definition.FindChain(2, 2, out, true));
  ASSERT_TRUE(definition.FindChain(2, 2, out, false));
  EXPECT_FALSE(out.render);

  definition.GetEntries().clear();
  definition.GetEntries().push_back(Chain(0, kAny, true, "NoInput"));
  definition.GetEntries().push_back(Chain(2 | 4 | 8, kAny, true, "Upto71"));
  EXPECT_FALSE(definition.FindChain(16, 2, out, true));
  EXPECT_TRUE(definition.FindChain(8, 2, out, true));
  EXPECT_EQ(out.processes[0].techId, "Upto71");
}

TEST(QORAPOChainDefinition, NewChainEntryDefaults) {
  const ChainEntry entry;
  EXPECT_EQ(entry.inputMask, kAny);
  EXPECT_EQ(entry.outputMask, kAny);
  EXPECT_TRUE(entry.render);
  EXPECT_TRUE(entry.processes.empty());
  EXPECT_TRUE(entry.controls.Empty());
}

TEST(QORAPOModeIdentity, DefaultsValidityTextAndEquality) {
  const QORAPOModeIdentity fresh;
  EXPECT_EQ(fresh.GetMode().GetName(), "VAPO3-Operating Mode");
  EXPECT_EQ(fresh.GetSpeakerType().GetName(), "VAPO3-Speaker Type");
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
  EXPECT_FALSE(source->GetModeIdentity().IsValid());
  EXPECT_FALSE(source->IsAutoMic());
  source->GetModeIdentity().GetMode().SetValueText("Movie");
  source->GetPublicControls().Set(QORUTSValue("Pub", "1"));
  source->GetPrivateControls().Set(QORUTSValue("Priv", "2"));
  source->GetControls().Set(QORUTSValue("Pub", "1"));
  source->GetChainDefinition().GetEntries().push_back(Chain(2, 2, true, "T"));
  source->SetAutoMic(true);

  QORAPOOperatingMode copy(*source);
  copy.GetPublicControls().Set(QORUTSValue("Pub", "9"));
  copy.GetPrivateControls().Clear();
  copy.GetControls().Set(QORUTSValue("New", "3"));
  copy.GetChainDefinition().GetEntries()[0].controls.Set(QORUTSValue("C", "4"));
  copy.GetModeIdentity().GetMode().SetValueText("Game");
  EXPECT_TRUE(copy.IsAutoMic());

  EXPECT_EQ(source->GetPublicControls().Find("Pub")->GetValueText(), "1");
  EXPECT_NE(source->GetPrivateControls().Find("Priv"), nullptr);
  EXPECT_EQ(source->GetControls().Find("New"), nullptr);
  EXPECT_TRUE(source->GetChainDefinition().GetEntries()[0].controls.Empty());
  EXPECT_EQ(source->GetModeIdentity().GetMode().GetValueText(), "Movie");

  QORAPOOperatingMode assigned;
  assigned = *source;
  EXPECT_TRUE(assigned.IsAutoMic());
  EXPECT_EQ(assigned.GetChainDefinition().GetEntries().size(), 1u);
  EXPECT_EQ(assigned.GetModeIdentity().GetMode().GetValueText(), "Movie");
}

}  // namespace
