#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "TestTechProbe.h"
#include "chain/QORAPOProcessLibrary.h"
#include "chain/QORAPOProcessWrapper.h"
#include "platform/QORLoadedModule.h"
#include "settings/QORUTSControlInfo.h"
#include "settings/QORUTSValue.h"

namespace {

using testtech::ReadInt;
using testtech::Stream;

bool LibraryLoaded() {
  return QORLoadedModule::IsLoadedPath(QORAPOProcessLibrary::GetPath());
}

TEST(QORAPOProcessWrapper, FailedCreateOrRecreateLeavesNoProcessAndNothingLoaded) {
  // Refused by the library, "created" without a process, and unknown to the library; the last
  // replaces a working process.
  for (const char* techId : {"Test FailCreate", "Test NullCreate", "No Such Tech"}) {
    for (bool recreate : {false, true}) {
      SCOPED_TRACE(testing::Message() << techId << (recreate ? " replacing" : ""));
      QORAPOProcessWrapper wrapper;
      if (recreate) {
        ASSERT_TRUE(wrapper.Create("Test Gain", "Eq", "", nullptr));
        ASSERT_TRUE(wrapper.Init(1, 48000));
      }
      EXPECT_FALSE(wrapper.Create(techId, "Bass", "", nullptr));
      EXPECT_EQ(wrapper.GetProcess(), nullptr);
      EXPECT_FALSE(LibraryLoaded());
      EXPECT_FALSE(wrapper.Init(2, 48000));
      QORUTSValue gain("Gain", 70L);
      EXPECT_FALSE(wrapper.SetControl(gain) || wrapper.GetControl(gain));
      EXPECT_EQ(Stream(wrapper, 1, 48000, 64)[0][63], 64.0f);  // the audio stays as it was
    }
  }
}

TEST(QORAPOProcessWrapper, RefusedInitAndOddAnswersOfTheProcessAreContained) {
  // After a refused Init the process never runs and the audio passes untouched.
  QORAPOProcessWrapper refused;
  ASSERT_TRUE(refused.Create("Test FailInit", "X", "", nullptr));
  EXPECT_FALSE(refused.Init(1, 48000));
  EXPECT_EQ(Stream(refused, 1, 48000, 64)[0][63], 64.0f);
  EXPECT_EQ(ReadInt(refused, "Calls"), 0);
  // A negative control count describes nothing; a text read as success without a text is empty.
  QORAPOProcessWrapper odd;
  ASSERT_TRUE(odd.Create("Test BadCount", "X", "", nullptr));
  std::vector<QORUTSControlInfo> infos(3);
  EXPECT_EQ(odd.GetControlInfo(infos), 0);
  EXPECT_TRUE(infos.empty());
  QORUTSValue text("NullText", std::string("old"));
  EXPECT_TRUE(odd.GetControl(text));
  EXPECT_EQ(text.GetValueText(), "");
}

TEST(QORAPOProcessWrapper, BlockedProcessSeesOnlyWholeBlocksAndDelaysByTwoBlocks) {
  QORAPOProcessWrapper wrapper;
  ASSERT_TRUE(wrapper.Create("Test Block 480 32", "Blk", "", nullptr));
  ASSERT_TRUE(wrapper.Init(2, 48000));
  // The rings hold two blocks; a chain counts the process's own 32 frames too.
  EXPECT_EQ(wrapper.QORAudioProcessBlock::GetLatency(), 960u);
  EXPECT_EQ(wrapper.GetLatency(), 992u);
  EXPECT_EQ(wrapper.GetTotalLatency(), 992u);

  const auto out = Stream(wrapper, 2, 48000, 441, 10);
  EXPECT_EQ(ReadInt(wrapper, "BadBlocks"), 0);
  EXPECT_EQ(ReadInt(wrapper, "Frames"), 480 * ReadInt(wrapper, "Calls"));
  for (uint32_t c = 0; c < 2; ++c) {
    ASSERT_EQ(out[c].size(), 4410u);
    EXPECT_EQ(out[c][959], 0.0f);
    for (size_t n = 960; n < out[c].size(); ++n) {
      ASSERT_EQ(out[c][n], static_cast<float>(n - 960 + 1 + 1000 * c)) << c << " " << n;
    }
  }
}

}  // namespace
