#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "AllocationCounter.h"
#include "TestTechProbe.h"
#include "audio/QORAudioDataFloat.h"
#include "chain/QORAPOProcessLibrary.h"
#include "chain/QORAPOProcessWrapper.h"
#include "platform/QORLoadedModule.h"

namespace {

using testtech::Channel;
using testtech::FillRamp;
using testtech::ReadInt;

bool LibraryLoaded() {
  return QORLoadedModule::IsLoadedPath(QORAPOProcessLibrary::GetPath());
}

// Runs periods of periodFrames through the wrapper with one running ramp (frame n of the stream
// is n + 1 + 1000 * channel) and returns the output stream of each channel.
std::vector<std::vector<float>> Stream(QORAPOProcessWrapper& wrapper, uint32_t channels,
                                       uint32_t rate, uint32_t periodFrames, uint32_t periods) {
  std::vector<std::vector<float>> out(channels);
  QORAudioDataFloat data;
  for (uint32_t p = 0; p < periods; ++p) {
    FillRamp(data, periodFrames, channels, rate, static_cast<float>(p * periodFrames + 1));
    wrapper.Process(data);
    EXPECT_EQ(data.GetFrameCount(), periodFrames);
    for (uint32_t c = 0; c < channels; ++c) {
      const std::vector<float> part = Channel(data, c);
      out[c].insert(out[c].end(), part.begin(), part.end());
    }
  }
  return out;
}

TEST(QORAPOProcessWrapper, CreateKeepsTheInstanceAndLoadsTheLibrary) {
  ASSERT_FALSE(LibraryLoaded());
  QORAPOProcessWrapper wrapper;
  ASSERT_TRUE(wrapper.Create("Test Pass", "Eq", "", nullptr));
  EXPECT_EQ(wrapper.GetInstanceId(), "Eq");
  EXPECT_NE(wrapper.GetProcess(), nullptr);
  EXPECT_TRUE(LibraryLoaded());
  EXPECT_EQ(wrapper.GetChannels(), 0u);
  EXPECT_EQ(wrapper.GetSampleRate(), 0u);
}

TEST(QORAPOProcessWrapper, FailedCreateLeavesNoProcessAndNothingLoaded) {
  // Refused by the library, "created" without a process, and unknown to the library.
  for (const char* techId : {"Test FailCreate", "Test NullCreate", "No Such Tech"}) {
    QORAPOProcessWrapper wrapper;
    EXPECT_FALSE(wrapper.Create(techId, "Eq", "", nullptr)) << techId;
    EXPECT_EQ(wrapper.GetProcess(), nullptr) << techId;
    EXPECT_EQ(wrapper.GetInstanceId(), "") << techId;
    EXPECT_FALSE(LibraryLoaded()) << techId;
    EXPECT_FALSE(wrapper.Init(2, 48000));
  }
}

TEST(QORAPOProcessWrapper, FailedRecreateDropsTheEarlierProcess) {
  QORAPOProcessWrapper wrapper;
  ASSERT_TRUE(wrapper.Create("Test Gain", "Eq", "", nullptr));
  ASSERT_TRUE(wrapper.Init(1, 48000));
  EXPECT_FALSE(wrapper.Create("Test FailCreate", "Bass", "", nullptr));
  EXPECT_EQ(wrapper.GetProcess(), nullptr);
  EXPECT_EQ(wrapper.GetInstanceId(), "");
  EXPECT_FALSE(LibraryLoaded());
  EXPECT_FALSE(wrapper.SetControl(QORUTSValue("Gain", 10L)));

  // Without a process the audio stays as it was.
  QORAudioDataFloat data;
  FillRamp(data, 64, 1, 48000, 1.0f);
  wrapper.Process(data);
  EXPECT_EQ(Channel(data, 0)[63], 64.0f);
}

TEST(QORAPOProcessWrapper, EachWrapperHoldsItsOwnReferenceToTheLibrary) {
  auto first = std::make_unique<QORAPOProcessWrapper>();
  auto second = std::make_unique<QORAPOProcessWrapper>();
  ASSERT_TRUE(first->Create("Test Gain", "A", "", nullptr));
  ASSERT_TRUE(second->Create("Test Gain", "B", "", nullptr));
  first.reset();
  EXPECT_TRUE(LibraryLoaded());

  ASSERT_TRUE(second->Init(1, 48000));
  QORAudioDataFloat data;
  FillRamp(data, 4, 1, 48000, 2.0f);
  second->Process(data);
  EXPECT_EQ(Channel(data, 0), (std::vector<float>{1.0f, 1.5f, 2.0f, 2.5f}));

  second.reset();
  EXPECT_FALSE(LibraryLoaded());
}

TEST(QORAPOProcessWrapper, BlockedProcessSeesOnlyWholeBlocksAndDelaysByTwoBlocks) {
  QORAPOProcessWrapper wrapper;
  ASSERT_TRUE(wrapper.Create("Test Block 480 32", "Blk", "", nullptr));
  ASSERT_TRUE(wrapper.Init(2, 48000));
  EXPECT_EQ(wrapper.GetChannels(), 2u);
  EXPECT_EQ(wrapper.GetSampleRate(), 48000u);
  EXPECT_EQ(ReadInt(wrapper, "InitChannels"), 2);
  EXPECT_EQ(ReadInt(wrapper, "InitRate"), 48000);
  EXPECT_EQ(wrapper.GetLatency(), 960u);
  EXPECT_EQ(wrapper.GetTotalLatency(), 992u);

  const auto out = Stream(wrapper, 2, 48000, 441, 10);
  EXPECT_EQ(ReadInt(wrapper, "BadBlocks"), 0);
  EXPECT_GE(ReadInt(wrapper, "Calls"), 7);
  EXPECT_EQ(ReadInt(wrapper, "Frames"), 480 * ReadInt(wrapper, "Calls"));
  EXPECT_EQ(ReadInt(wrapper, "Channels"), 2);
  EXPECT_EQ(testtech::ReadText(wrapper, "Roles"), "0,1");
  for (uint32_t c = 0; c < 2; ++c) {
    ASSERT_EQ(out[c].size(), 4410u);
    EXPECT_EQ(out[c][959], 0.0f);
    for (size_t n = 960; n < out[c].size(); ++n) {
      ASSERT_EQ(out[c][n], static_cast<float>(n - 960 + 1 + 1000 * c))
          << "channel " << c << " frame " << n;
    }
  }
}

TEST(QORAPOProcessWrapper, UnblockedProcessRunsOnWholePeriodsWithoutLatency) {
  QORAPOProcessWrapper wrapper;
  ASSERT_TRUE(wrapper.Create("Test Gain", "Eq", "", nullptr));
  ASSERT_TRUE(wrapper.Init(2, 44100));
  EXPECT_EQ(wrapper.GetLatency(), 0u);
  EXPECT_EQ(wrapper.GetTotalLatency(), 0u);

  const auto out = Stream(wrapper, 2, 44100, 441, 1);
  EXPECT_EQ(ReadInt(wrapper, "Calls"), 1);
  EXPECT_EQ(ReadInt(wrapper, "Frames"), 441);
  EXPECT_EQ(out[0][0], 0.5f);
  EXPECT_EQ(out[0][440], 220.5f);
  EXPECT_EQ(out[1][0], 500.5f);
}

TEST(QORAPOProcessWrapper, InitAgainPreparesTheNewFormatWithFreshSilence) {
  QORAPOProcessWrapper wrapper;
  ASSERT_TRUE(wrapper.Create("Test Block 256 0", "Blk", "", nullptr));
  ASSERT_TRUE(wrapper.Init(2, 48000));
  Stream(wrapper, 2, 48000, 1000, 1);

  ASSERT_TRUE(wrapper.Init(1, 44100));
  EXPECT_EQ(ReadInt(wrapper, "InitChannels"), 1);
  EXPECT_EQ(wrapper.GetChannels(), 1u);
  EXPECT_EQ(wrapper.GetSampleRate(), 44100u);
  EXPECT_EQ(wrapper.GetLatency(), 512u);
  const auto out = Stream(wrapper, 1, 44100, 1000, 1);
  for (size_t n = 0; n < 512; ++n) ASSERT_EQ(out[0][n], 0.0f) << n;
  EXPECT_EQ(out[0][512], 1.0f);
  EXPECT_EQ(out[0][999], 488.0f);
}

TEST(QORAPOProcessWrapper, FailedInitLeavesTheWrapperUnblockedAndTheProcessUncalled) {
  QORAPOProcessWrapper wrapper;
  ASSERT_TRUE(wrapper.Create("Test FailInit", "Eq", "", nullptr));
  EXPECT_FALSE(wrapper.Init(2, 48000));
  EXPECT_EQ(wrapper.GetLatency(), 0u);
  EXPECT_EQ(wrapper.GetChannels(), 0u);
  EXPECT_EQ(wrapper.GetSampleRate(), 0u);

  const auto out = Stream(wrapper, 2, 48000, 480, 1);
  EXPECT_EQ(ReadInt(wrapper, "Calls"), 0);
  EXPECT_EQ(out[0][0], 1.0f);
  EXPECT_EQ(out[1][479], 1480.0f);
}

TEST(QORAPOProcessWrapper, ProcessAllocatesNothingOnceInitialised) {
  for (const char* techId : {"Test Block 480 0", "Test Gain", "Test Block 64 0"}) {
    QORAPOProcessWrapper wrapper;
    ASSERT_TRUE(wrapper.Create(techId, "Eq", "", nullptr));
    ASSERT_TRUE(wrapper.Init(2, 48000));
    QORAudioDataFloat data;
    // The first periods size the caller's own buffer.
    for (uint32_t p = 0; p < 3; ++p) {
      FillRamp(data, 441, 2, 48000, 0.0f);
      wrapper.Process(data);
    }
    qortest::AllocationScope scope;
    for (uint32_t p = 0; p < 50; ++p) {
      FillRamp(data, 441, 2, 48000, static_cast<float>(p));
      wrapper.Process(data);
    }
    EXPECT_EQ(scope.Count(), 0u) << techId;
    EXPECT_GT(ReadInt(wrapper, "Calls"), 40) << techId;
  }
}

TEST(QORAPOProcessWrapper, TakeStateHandsOverBetweenProcessesOfTheSameTechnology) {
  QORAPOProcessWrapper old;
  QORAPOProcessWrapper fresh;
  QORAPOProcessWrapper other;
  QORAPOProcessWrapper empty;
  ASSERT_TRUE(old.Create("Test Gain", "Eq", "", nullptr));
  ASSERT_TRUE(fresh.Create("Test Gain", "Eq", "", nullptr));
  ASSERT_TRUE(other.Create("Test Pass", "Eq", "", nullptr));
  ASSERT_TRUE(old.Init(1, 48000));
  ASSERT_TRUE(old.SetControl(QORUTSValue("Gain", 80L)));
  Stream(old, 1, 48000, 100, 1);

  EXPECT_FALSE(fresh.TakeState(other));
  EXPECT_FALSE(fresh.TakeState(empty));
  EXPECT_FALSE(empty.TakeState(old));
  EXPECT_TRUE(fresh.TakeState(old));
  EXPECT_EQ(ReadInt(fresh, "Gain"), 80);
  EXPECT_EQ(ReadInt(fresh, "Frames"), 100);
}

}  // namespace
