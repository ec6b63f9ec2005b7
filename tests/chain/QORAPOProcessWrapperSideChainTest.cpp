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

TEST(QORAPOProcessWrapperSideChain, CallbackRules) {
  // A sending process hands channel 0 to the hook and leaves the audio alone.
  RecordingHook sent;
  QORAPOProcessWrapper aec;
  ASSERT_TRUE(aec.Create("QOR AEC/NR", "Aec", "Sidechain Pipe", &sent));
  ASSERT_TRUE(aec.Init(2, 16000));
  EXPECT_EQ(Stream(aec, 2, 16000, 160)[0].back(), 160.0f);
  ASSERT_EQ(sent.calls, 1);
  EXPECT_EQ(sent.from, &aec);
  EXPECT_EQ(sent.format, (std::vector<uint32_t>{160, 1, 16000, kTechSideChainRole}));
  EXPECT_EQ(sent.seen.back(), 160.0f);
  // A receiving process gets the buffer silent and takes only the frames the hook left.
  RecordingHook given;
  given.fill = true;
  given.keepFrames = 100;
  QORAPOProcessWrapper clarix;
  ASSERT_TRUE(clarix.Create("QOR Clarix+", "Clx", "Sidechain Pipe", &given));
  ASSERT_TRUE(clarix.Init(2, 48000));
  const auto out = Stream(clarix, 2, 48000, 480);
  EXPECT_EQ(given.seen, std::vector<float>(480, 0.0f));
  EXPECT_EQ(out[0][99], kReceived);
  EXPECT_EQ(out[0][100], 101.0f);
  EXPECT_EQ(out[1].front(), 1001.0f);
  // Other technologies, a hook of another name or none, and malformed calls reach no hook.
  RecordingHook unused;
  const struct {
    const char* techId;
    const char* hookName;
    IQORAPOProcessWrapperHook* target;
    long mode;  // linked record, role 6, no samples, 0 frames, no context
  } cases[] = {
      {"Test Pass", "Sidechain Pipe", &unused, 0},   {"QOR AEC/NR", "sidechain pipe", &unused, 0},
      {"QOR Clarix+", "Sidechain Pipe", nullptr, 0}, {"QOR AEC/NR", "Sidechain Pipe", &unused, 1},
      {"QOR Clarix+", "Sidechain Pipe", &unused, 2}, {"QOR AEC/NR", "Sidechain Pipe", &unused, 3},
      {"QOR Clarix+", "Sidechain Pipe", &unused, 4}, {"QOR AEC/NR", "Sidechain Pipe", &unused, 5}};
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << c.techId << " / " << c.hookName << " / " << c.mode);
    QORAPOProcessWrapper wrapper;
    ASSERT_TRUE(wrapper.Create(c.techId, "X", c.hookName, c.target));
    if (c.mode != 0) {
      ASSERT_TRUE(wrapper.SetControl(QORUTSValue("CallMode", c.mode)));
    }
    ASSERT_TRUE(wrapper.Init(1, 48000));
    EXPECT_EQ(Stream(wrapper, 1, 48000, 48)[0].back(), 48.0f);
    EXPECT_EQ(ReadInt(wrapper, "Callbacks"), c.mode == 0 ? 0 : 1);
  }
  EXPECT_EQ(unused.calls, 0);
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
