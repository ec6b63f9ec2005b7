#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "TestTechProbe.h"
#include "chain/QORAPOProcessLibrary.h"
#include "chain/QORAPOProcessWrapper.h"
#include "platform/QORLoadedModule.h"

namespace {

using testtech::ReadInt;
using testtech::Stream;

bool LibraryLoaded() {
  return QORLoadedModule::IsLoadedPath(QORAPOProcessLibrary::GetPath());
}

TEST(QORAPOProcessWrapper, EachWrapperHoldsItsOwnReferenceToTheLibrary) {
  ASSERT_FALSE(LibraryLoaded());
  auto first = std::make_unique<QORAPOProcessWrapper>();
  auto second = std::make_unique<QORAPOProcessWrapper>();
  ASSERT_TRUE(first->Create("Test Gain", "A", "", nullptr));
  EXPECT_TRUE(LibraryLoaded());
  ASSERT_TRUE(second->Create("Test Gain", "B", "", nullptr));
  first.reset();
  EXPECT_TRUE(LibraryLoaded());
  ASSERT_TRUE(second->Init(1, 48000));
  EXPECT_EQ(Stream(*second, 1, 48000, 4)[0], (std::vector<float>{0.5f, 1.0f, 1.5f, 2.0f}));
  second.reset();
  EXPECT_FALSE(LibraryLoaded());
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
      EXPECT_EQ(wrapper.GetInstanceId(), "");
      EXPECT_FALSE(LibraryLoaded());
      EXPECT_FALSE(wrapper.SetControl(QORUTSValue("Gain", 10L)));
      EXPECT_FALSE(wrapper.Init(2, 48000));
      EXPECT_EQ(Stream(wrapper, 1, 48000, 64)[0][63], 64.0f);  // the audio stays as it was
    }
  }
}

TEST(QORAPOProcessWrapper, BlockedProcessSeesOnlyWholeBlocksAndDelaysByTwoBlocks) {
  QORAPOProcessWrapper wrapper;
  ASSERT_TRUE(wrapper.Create("Test Block 480 32", "Blk", "", nullptr));
  ASSERT_TRUE(wrapper.Init(2, 48000));
  EXPECT_EQ(ReadInt(wrapper, "InitChannels"), 2);
  EXPECT_EQ(wrapper.GetLatency(), 960u);
  EXPECT_EQ(wrapper.GetTotalLatency(), 992u);

  const auto out = Stream(wrapper, 2, 48000, 441, 10);
  EXPECT_EQ(ReadInt(wrapper, "BadBlocks"), 0);
  EXPECT_GE(ReadInt(wrapper, "Calls"), 7);
  EXPECT_EQ(ReadInt(wrapper, "Frames"), 480 * ReadInt(wrapper, "Calls"));
  EXPECT_EQ(testtech::ReadText(wrapper, "Roles"), "0,1");
  for (uint32_t c = 0; c < 2; ++c) {
    ASSERT_EQ(out[c].size(), 4410u);
    EXPECT_EQ(out[c][959], 0.0f);
    for (size_t n = 960; n < out[c].size(); ++n) {
      ASSERT_EQ(out[c][n], static_cast<float>(n - 960 + 1 + 1000 * c)) << c << " " << n;
    }
  }
}

TEST(QORAPOProcessWrapper, UnblockedProcessRunsOnWholePeriodsWithoutLatency) {
  QORAPOProcessWrapper wrapper;
  ASSERT_TRUE(wrapper.Create("Test Gain", "Eq", "", nullptr));
  ASSERT_TRUE(wrapper.Init(2, 44100));
  EXPECT_EQ(wrapper.GetTotalLatency(), 0u);
  const auto out = Stream(wrapper, 2, 44100, 441);
  EXPECT_EQ(ReadInt(wrapper, "Calls"), 1);
  EXPECT_EQ(ReadInt(wrapper, "Frames"), 441);
  EXPECT_EQ(out[0][440], 220.5f);
  EXPECT_EQ(out[1][0], 500.5f);
}

}  // namespace
