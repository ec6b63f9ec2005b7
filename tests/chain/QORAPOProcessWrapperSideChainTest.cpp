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

using testtech::Channel;
using testtech::FillRamp;
using testtech::ReadInt;

// Records what each call brings; a receiving hook writes fill into every sample, and may shorten
// the buffer to keepFrames first.
class RecordingHook : public IQORAPOProcessWrapperHook {
 public:
  void OnSideChain(QORAPOProcessWrapper& wrapper, IQORAudioData<float>& data) override {
    ++calls;
    from = &wrapper;
    frames = data.GetFrameCount();
    channels = data.GetChannelCount();
    rate = data.GetSampleRate();
    role = data.GetChannelMapEntry(0);
    if (record) {
      const float* samples = data.GetSamples(false, false);
      seen.assign(samples, samples + frames);
    }
    if (fill) {
      if (keepFrames != 0) data.SetFrameCount(keepFrames);
      float* samples = data.GetSamples(true, true);
      for (uint32_t i = 0; i < data.GetFrameCount(); ++i) samples[i] = *fill;
    }
  }

  int calls = 0;
  QORAPOProcessWrapper* from = nullptr;
  uint32_t frames = 0;
  uint32_t channels = 0;
  uint32_t rate = 0;
  uint32_t role = 0;
  bool record = true;
  std::vector<float> seen;
  const float* fill = nullptr;
  uint32_t keepFrames = 0;
};

constexpr float kReceived = 0.25f;

TEST(QORAPOProcessWrapperSideChain, SendingProcessHandsChannelZeroToTheHook) {
  RecordingHook hook;
  QORAPOProcessWrapper wrapper;
  ASSERT_TRUE(wrapper.Create("QOR AEC/NR", "Aec", "Sidechain Pipe", &hook));
  ASSERT_TRUE(wrapper.Init(2, 16000));
  QORAudioDataFloat data;
  FillRamp(data, 160, 2, 16000, 1.0f);
  wrapper.Process(data);

  ASSERT_EQ(hook.calls, 1);
  EXPECT_EQ(hook.from, &wrapper);
  EXPECT_EQ(hook.frames, 160u);
  EXPECT_EQ(hook.channels, 1u);
  EXPECT_EQ(hook.rate, 16000u);
  EXPECT_EQ(hook.role, kTechSideChainRole);
  ASSERT_EQ(hook.seen.size(), 160u);
  EXPECT_EQ(hook.seen.front(), 1.0f);
  EXPECT_EQ(hook.seen.back(), 160.0f);
  EXPECT_EQ(Channel(data, 0).back(), 160.0f);  // sending leaves the audio alone
}

TEST(QORAPOProcessWrapperSideChain, ReceivingProcessGetsWhatTheHookWrites) {
  RecordingHook hook;
  hook.fill = &kReceived;
  QORAPOProcessWrapper wrapper;
  ASSERT_TRUE(wrapper.Create("QOR Clarix+", "Clx", "Sidechain Pipe", &hook));
  ASSERT_TRUE(wrapper.Init(2, 48000));
  QORAudioDataFloat data;
  FillRamp(data, 480, 2, 48000, 1.0f);
  wrapper.Process(data);

  ASSERT_EQ(hook.calls, 1);
  EXPECT_EQ(hook.role, kTechSideChainRole);
  // The buffer reaches a receiving hook silent, not with the process's samples.
  EXPECT_EQ(hook.seen, std::vector<float>(480, 0.0f));
  EXPECT_EQ(Channel(data, 0), std::vector<float>(480, kReceived));
  EXPECT_EQ(Channel(data, 1).front(), 1001.0f);
}

TEST(QORAPOProcessWrapperSideChain, ShortenedReceiveBufferCopiesOnlyWhatItHolds) {
  RecordingHook hook;
  hook.fill = &kReceived;
  hook.keepFrames = 100;
  QORAPOProcessWrapper wrapper;
  ASSERT_TRUE(wrapper.Create("QOR Clarix+", "Clx", "Sidechain Pipe", &hook));
  ASSERT_TRUE(wrapper.Init(1, 48000));
  QORAudioDataFloat data;
  FillRamp(data, 480, 1, 48000, 1.0f);
  wrapper.Process(data);

  const std::vector<float> out = Channel(data, 0);
  EXPECT_EQ(out[99], kReceived);
  EXPECT_EQ(out[100], 101.0f);  // the process's own channel 0 beyond what was received
  EXPECT_EQ(out[479], 480.0f);
}

TEST(QORAPOProcessWrapperSideChain, OnlyTheSideChainHookOfTheTwoTechnologiesIsConnected) {
  RecordingHook hook;
  struct Case {
    const char* techId;
    const char* hookName;
    IQORAPOProcessWrapperHook* target;
  };
  const Case cases[] = {
      {"Test Pass", "Sidechain Pipe", &hook},     {"QOR AEC/NR", "Other Pipe", &hook},
      {"QOR AEC/NR", "sidechain pipe", &hook},    {"QOR AEC/NR", "", &hook},
      {"QOR Clarix+", "Sidechain Pipe", nullptr},
  };
  for (const Case& c : cases) {
    QORAPOProcessWrapper wrapper;
    ASSERT_TRUE(wrapper.Create(c.techId, "X", c.hookName, c.target));
    ASSERT_TRUE(wrapper.Init(1, 48000));
    QORAudioDataFloat data;
    FillRamp(data, 48, 1, 48000, 1.0f);
    wrapper.Process(data);
    EXPECT_EQ(ReadInt(wrapper, "Calls"), 1) << c.techId << " / " << c.hookName;
    EXPECT_EQ(ReadInt(wrapper, "Callbacks"), 0) << c.techId << " / " << c.hookName;
    EXPECT_EQ(Channel(data, 0).back(), 48.0f);
  }
  EXPECT_EQ(hook.calls, 0);
}

TEST(QORAPOProcessWrapperSideChain, MalformedCallsAreIgnored) {
  // Linked record, role 6, no samples, 0 frames, no context.
  for (int32_t mode = 1; mode <= 5; ++mode) {
    for (const char* techId : {"QOR AEC/NR", "QOR Clarix+"}) {
      RecordingHook hook;
      hook.fill = &kReceived;
      QORAPOProcessWrapper wrapper;
      ASSERT_TRUE(wrapper.Create(techId, "X", "Sidechain Pipe", &hook));
      ASSERT_TRUE(wrapper.SetControl(QORUTSValue("CallMode", static_cast<long>(mode))));
      ASSERT_TRUE(wrapper.Init(1, 48000));
      QORAudioDataFloat data;
      FillRamp(data, 48, 1, 48000, 1.0f);
      wrapper.Process(data);
      EXPECT_EQ(ReadInt(wrapper, "Callbacks"), 1) << techId << " mode " << mode;
      EXPECT_EQ(hook.calls, 0) << techId << " mode " << mode;
      EXPECT_EQ(Channel(data, 0).back(), 48.0f) << techId << " mode " << mode;
    }
  }
}

TEST(QORAPOProcessWrapperSideChain, SideChainAllocatesNothingOnceInitialised) {
  for (const char* techId : {"QOR AEC/NR", "QOR Clarix+"}) {
    RecordingHook hook;
    hook.record = false;  // a recording hook would allocate itself
    hook.fill = &kReceived;
    QORAPOProcessWrapper wrapper;
    ASSERT_TRUE(wrapper.Create(techId, "X", "Sidechain Pipe", &hook));
    ASSERT_TRUE(wrapper.Init(2, 48000));
    QORAudioDataFloat data;
    FillRamp(data, 480, 2, 48000, 0.0f);
    wrapper.Process(data);
    qortest::AllocationScope scope;
    for (uint32_t p = 0; p < 20; ++p) {
      FillRamp(data, 480, 2, 48000, 0.0f);
      wrapper.Process(data);
    }
    EXPECT_EQ(scope.Count(), 0u) << techId;
    EXPECT_EQ(hook.calls, 21) << techId;
  }
}

}  // namespace
