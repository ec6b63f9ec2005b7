#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "AllocationCounter.h"
#include "TestTechProbe.h"
#include "audio/QORAudioDataFloat.h"
#include "chain/IQORAPOProcessWrapperHook.h"
#include "chain/QORAPOProcessWrapper.h"
#include "chain/QORTechProcess.h"

namespace {

using testtech::ReadInt;
using testtech::Stream;

constexpr float kReceived = 0.25f;

// Records what each call brings; a receiving hook (fill set) writes kReceived into every sample,
// after shortening the buffer to keepFrames when that is set.
class RecordingHook : public IQORAPOProcessWrapperHook {
 public:
  void OnSideChain(QORAPOProcessWrapper& wrapper, IQORAudioData<float>& data) override {
    ++calls;
    from = &wrapper;
    format = {data.GetFrameCount(), data.GetChannelCount(), data.GetSampleRate(),
              data.GetChannelMapEntry(0)};
    if (record) {
      const float* samples = data.GetSamples(false, false);
      seen.assign(samples, samples + data.GetFrameCount());
    }
    if (fill) {
      if (keepFrames != 0) data.SetFrameCount(keepFrames);
      float* samples = data.GetSamples(true, true);
      for (uint32_t i = 0; i < data.GetFrameCount(); ++i) samples[i] = kReceived;
    }
  }

  int calls = 0;
  QORAPOProcessWrapper* from = nullptr;
  std::vector<uint32_t> format;  // frames, channels, rate, role
  bool record = true;
  std::vector<float> seen;
  bool fill = false;
  uint32_t keepFrames = 0;
};

TEST(QORAPOProcessWrapperSideChain, SendingProcessHandsChannelZeroToTheHook) {
  RecordingHook hook;
  QORAPOProcessWrapper wrapper;
  ASSERT_TRUE(wrapper.Create("QOR AEC/NR", "Aec", "Sidechain Pipe", &hook));
  ASSERT_TRUE(wrapper.Init(2, 16000));
  const auto out = Stream(wrapper, 2, 16000, 160);
  ASSERT_EQ(hook.calls, 1);
  EXPECT_EQ(hook.from, &wrapper);
  EXPECT_EQ(hook.format, (std::vector<uint32_t>{160, 1, 16000, kTechSideChainRole}));
  ASSERT_EQ(hook.seen.size(), 160u);
  EXPECT_EQ(hook.seen.front(), 1.0f);
  EXPECT_EQ(hook.seen.back(), 160.0f);
  EXPECT_EQ(out[0].back(), 160.0f);  // sending leaves the audio alone
}

TEST(QORAPOProcessWrapperSideChain, ReceivingProcessGetsWhatTheHookWritesAndNoMore) {
  for (uint32_t keep : {0u, 100u}) {
    RecordingHook hook;
    hook.fill = true;
    hook.keepFrames = keep;
    QORAPOProcessWrapper wrapper;
    ASSERT_TRUE(wrapper.Create("QOR Clarix+", "Clx", "Sidechain Pipe", &hook));
    ASSERT_TRUE(wrapper.Init(2, 48000));
    const auto out = Stream(wrapper, 2, 48000, 480);
    ASSERT_EQ(hook.calls, 1);
    EXPECT_EQ(hook.format[3], kTechSideChainRole);
    // The buffer reaches a receiving hook silent, not with the process's samples.
    EXPECT_EQ(hook.seen, std::vector<float>(480, 0.0f));
    const uint32_t received = keep == 0 ? 480 : keep;
    EXPECT_EQ(out[0][received - 1], kReceived) << keep;
    if (keep != 0) {
      EXPECT_EQ(out[0][keep], keep + 1.0f);  // the process's own channel 0 beyond it
    }
    EXPECT_EQ(out[1].front(), 1001.0f);
  }
}

TEST(QORAPOProcessWrapperSideChain, OnlyTheSideChainHookOfTheTwoTechnologiesIsConnected) {
  RecordingHook hook;
  const struct {
    const char* techId;
    const char* hookName;
    IQORAPOProcessWrapperHook* target;
  } cases[] = {
      {"Test Pass", "Sidechain Pipe", &hook},
      {"QOR AEC/NR", "sidechain pipe", &hook},
      {"QOR Clarix+", "Sidechain Pipe", nullptr},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << c.techId << " / " << c.hookName);
    QORAPOProcessWrapper wrapper;
    ASSERT_TRUE(wrapper.Create(c.techId, "X", c.hookName, c.target));
    ASSERT_TRUE(wrapper.Init(1, 48000));
    EXPECT_EQ(Stream(wrapper, 1, 48000, 48)[0].back(), 48.0f);
    EXPECT_EQ(ReadInt(wrapper, "Calls"), 1);
    EXPECT_EQ(ReadInt(wrapper, "Callbacks"), 0);
  }
  EXPECT_EQ(hook.calls, 0);
}

TEST(QORAPOProcessWrapperSideChain, MalformedCallsAreIgnored) {
  // Linked record, role 6, no samples, 0 frames, no context.
  for (int32_t mode = 1; mode <= 5; ++mode) {
    for (const char* techId : {"QOR AEC/NR", "QOR Clarix+"}) {
      SCOPED_TRACE(testing::Message() << techId << " mode " << mode);
      RecordingHook hook;
      hook.fill = true;
      QORAPOProcessWrapper wrapper;
      ASSERT_TRUE(wrapper.Create(techId, "X", "Sidechain Pipe", &hook));
      ASSERT_TRUE(wrapper.SetControl(QORUTSValue("CallMode", static_cast<long>(mode))));
      ASSERT_TRUE(wrapper.Init(1, 48000));
      EXPECT_EQ(Stream(wrapper, 1, 48000, 48)[0].back(), 48.0f);
      EXPECT_EQ(ReadInt(wrapper, "Callbacks"), 1);
      EXPECT_EQ(hook.calls, 0);
    }
  }
}

TEST(QORAPOProcessWrapperSideChain, ProcessAllocatesNothingOnceInitialised) {
  for (const char* techId :
       {"Test Block 480 0", "Test Gain", "Test Block 64 0", "QOR AEC/NR", "QOR Clarix+"}) {
    RecordingHook hook;
    hook.record = false;  // a recording hook would allocate itself
    hook.fill = true;
    QORAPOProcessWrapper wrapper;
    ASSERT_TRUE(wrapper.Create(techId, "X", "Sidechain Pipe", &hook));
    ASSERT_TRUE(wrapper.Init(2, 48000));
    QORAudioDataFloat data;
    auto period = [&] {
      testtech::FillRamp(data, 441, 2, 48000, 0.0f);
      wrapper.Process(data);
    };
    for (int p = 0; p < 3; ++p) period();  // sizes the caller's own buffer
    qortest::AllocationScope scope;
    for (int p = 0; p < 20; ++p) period();
    EXPECT_EQ(scope.Count(), 0u) << techId;
    EXPECT_GT(ReadInt(wrapper, "Calls"), 15) << techId;
    EXPECT_EQ(hook.calls > 15, std::string(techId).starts_with("QOR")) << techId;
  }
}

}  // namespace
