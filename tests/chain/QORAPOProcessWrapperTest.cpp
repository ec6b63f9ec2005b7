#include <gtest/gtest.h>

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
      EXPECT_EQ(Stream(wrapper, 1, 48000, 64)[0][63], 64.0f);  // the audio stays as it was
    }
  }
}

TEST(QORAPOProcessWrapper, BlockedProcessSeesOnlyWholeBlocksAndDelaysByTwoBlocks) {
  QORAPOProcessWrapper wrapper;
  ASSERT_TRUE(wrapper.Create("Test Block 480 32", "Blk", "", nullptr));
  ASSERT_TRUE(wrapper.Init(2, 48000));
  EXPECT_EQ(wrapper.GetLatency(), 960u);
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
