#include "chain/QORAPOProcessChain.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "AllocationCounter.h"
#include "ChainTestSupport.h"
#include "TempStateRoot.h"
#include "chain/QORAPOProcessWrapper.h"
#include "endpoint/QORAPOTunedSettings.h"
#include "settings/QORAPOConfigurationFile.h"
#include "settings/QORSharedMemory.h"

namespace {

// A request for the one mode of ModeXml(chains).
QORAPOProcessChain::Request MakeRequest(const std::string& chains, uint32_t input, uint32_t output,
                                        uint32_t rate, bool render = true) {
  static QORAPOConfigurationFile file;  // each call replaces the last
  EXPECT_EQ(file.LoadFromText(chaintest::ModeXml(chains), 0, 0), 0u);
  QORAPOProcessChain::Request request{{}, *file.GetOperatingModes().at(0), input, output, rate};
  request.endpoint.SetRender(render);
  return request;
}

// Streams `frames` frames with an impulse at frame `at` in every channel through the chain in
// periods; returns where output channel 0 first is not 0 (-1 for never) and its value there.
std::pair<long, float> RunChain(QORAPOProcessChain& chain, size_t frames, size_t at,
                                uint32_t channels, uint32_t rate, uint32_t period = 480,
                                IQORAPOProcessChainPipeHook* hook = nullptr) {
  QORAudioDataFloat in, out;
  for (size_t start = 0; start + period <= frames; start += period) {
    in.Init(period, channels, rate);
    float* s = in.GetSamples(true, true);
    for (uint32_t i = 0; i < period * channels; ++i)
      s[i] = start + i / channels == at ? 1.0f : 0.0f;
    out.Init(period, channels, rate);
    chain.Process(in, out, hook);
    for (uint32_t f = 0; f < period; ++f) {
      const float sample = out.GetSamples(false, true)[f * channels];
      if (sample != 0.0f) return {static_cast<long>(start + f), sample};
    }
  }
  return {-1, 0.0f};
}

constexpr char kAnyChains[] =
    R"(<chain input="Any" output="Any"><process tech_id="Test Pass" instance_id="P"/></chain>)"
    R"(<chain type="capture" input="Any" output="Any">)"
    R"(<process tech_id="Test Pass" instance_id="P"/></chain>)";

TEST(QORAPOProcessChain, PaddingReachesTheTargetAndTheImpulseComesOutAtTheLatency) {
  // Two blocks of 480 frames: 960 frames of elements at 48000 Hz.
  const std::string chains = R"(<chain input="Stereo" output="Stereo">)"
                             R"(<process tech_id="Test Block 480 0" instance_id="B"/></chain>)";
  struct Case {
    int64_t target;
    bool bypassed;
    uint32_t latency, delay;
  };
  for (const Case& c : {Case{1000000, false, 960, 0}, Case{2500000, false, 1200, 240},
                        Case{2500000, true, 1200, 1200}, Case{0, false, 960, 0}}) {
    SCOPED_TRACE(testing::Message() << c.target << (c.bypassed ? " bypassed" : ""));
    QORAPOProcessChain chain;
    chain.targetLatency = c.target;
    ASSERT_TRUE(chain.ConstructChain(MakeRequest(chains, 2, 2, 48000)));
    chain.bypassed = c.bypassed;
    chain.UpdateLatency();
    EXPECT_EQ(chain.latency, c.latency);
    EXPECT_EQ(chain.GetDelay().GetLatency(), c.delay);
    EXPECT_EQ(RunChain(chain, 4800, 100, 2, 48000).first, 100 + c.latency);
  }
  // A process's own look-ahead counts too: two blocks of 480 frames and 32 of its own.
  QORAPOProcessChain lookAhead;
  ASSERT_TRUE(lookAhead.ConstructChain(
      MakeRequest(R"(<chain input="Stereo" output="Stereo">)"
                  R"(<process tech_id="Test Block 480 32" instance_id="B"/></chain>)",
                  2, 2, 48000)));
  lookAhead.UpdateLatency();
  EXPECT_EQ(lookAhead.latency, 992u);
}

TEST(QORAPOProcessChain, ProcessingRateIsTheNearestCandidateOrNone) {
  struct Case {
    bool render;
    uint32_t rate, internal;
  };
  for (const Case& c :
       {Case{true, 44100, 0}, Case{true, 48000, 0}, Case{true, 96000, 48000},
        Case{true, 22050, 32000}, Case{true, 38050, 32000}, Case{true, 38051, 44100},
        Case{false, 48000, 16000}, Case{false, 16000, 0}, Case{false, 8000, 16000}}) {
    QORAPOProcessChain chain;
    ASSERT_TRUE(chain.ConstructChain(MakeRequest(kAnyChains, 2, 2, c.rate, c.render)));
    EXPECT_EQ(chain.internalRate, c.internal) << c.rate << (c.render ? " render" : " capture");
  }
}

TEST(QORAPOProcessChain, FailedSecondProcessLeavesAnUnbuiltChainPassingThroughAtTheTarget) {
  QORAPOProcessChain chain;
  chain.targetLatency = 1000000;
  EXPECT_FALSE(chain.ConstructChain(MakeRequest(
      R"(<chain input="Stereo" output="Stereo"><process tech_id="Test Pass" instance_id="A"/>)"
      R"(<process tech_id="No Such Tech" instance_id="B"/>)"
      R"(<process tech_id="Test Gain" instance_id="C"/></chain>)",
      2, 2, 48000)));
  EXPECT_FALSE(chain.constructed);
  EXPECT_EQ(chain.GetElementCount(), 0u);
  EXPECT_EQ(chain.GetProcessList().GetProcessCount(), 0u);
  chain.UpdateLatency();
  EXPECT_EQ(chain.latency, 480u);
  EXPECT_EQ(RunChain(chain, 1440, 3, 2, 48000), std::make_pair(483L, 1.0f));
}

class RecordingHook : public IQORAPOProcessChainPipeHook {
 public:
  void OnPipeData(bool receive, IQORAudioData<float>&) override { (receive ? receives : sends)++; }
  int receives = 0, sends = 0;
};

TEST(QORAPOProcessChain, BypassedCaptureChainSendsEachPeriodToTheHookAndRenderDoesNot) {
  for (bool render : {false, true}) {
    QORAPOProcessChain chain;
    ASSERT_TRUE(chain.ConstructChain(MakeRequest(kAnyChains, 1, 1, 16000, render)));
    chain.bypassed = true;
    chain.UpdateLatency();
    RecordingHook hook;
    RunChain(chain, 480, 480, 1, 16000, 160, &hook);  // three silent periods
    EXPECT_EQ(hook.sends, render ? 0 : 3);
    EXPECT_EQ(hook.receives, 0);
  }
}

// Channel 0 of every block a render chain's side-chain sender hands over, in order.
class SideChainRecorder : public IQORAPOProcessChainPipeHook {
 public:
  void OnPipeData(bool, IQORAudioData<float>& data) override {
    const float* samples = data.GetSamples(false, false);
    seen.insert(seen.end(), samples, samples + data.GetFrameCount());
  }
  std::vector<float> seen;
};

TEST(QORAPOProcessChain, PaddingRunsInFrontSoTheProcessesSeeItsSilenceFirst) {
  // The test library's "QOR AEC/NR" hands channel 0 to the side chain as it processes it.
  QORAPOProcessChain chain;
  chain.targetLatency = 1000000;  // 480 frames at 48000 Hz, all of it padding
  ASSERT_TRUE(chain.ConstructChain(MakeRequest(
      R"(<chain input="Stereo" output="Stereo"><process tech_id="QOR AEC/NR" instance_id="A")"
      R"( hook="Sidechain Pipe"/></chain>)",
      2, 2, 48000)));
  ASSERT_EQ(chain.GetDelay().GetLatency(), 480u);
  SideChainRecorder hook;
  EXPECT_EQ(RunChain(chain, 1440, 100, 2, 48000, 480, &hook).first, 580);
  // The process met the impulse where the output has it, after 480 frames of the padding.
  ASSERT_EQ(hook.seen.size(), 960u);
  std::vector<float> expected(960, 0.0f);
  expected[580] = 1.0f;
  EXPECT_EQ(hook.seen, expected);
}

// Every buffer is sized at construction for the longest period the chain accepts: the owner's
// longest period, 100 ms, or a stall flush of the target latency and 30 ms.
TEST(QORAPOProcessChain, APeriodOfTheLongestAcceptedLengthAllocatesNothing) {
  const std::string chains =
      R"(<chain input="Any" output="Any"><process tech_id="Downmix" instance_id="D"/>)"
      R"(<process tech_id="Test Block 480 0" instance_id="B"/></chain>)";
  const struct {
    uint32_t rate, input, output, maxPeriod;
    int64_t target;
    uint32_t frames;
  } cases[] = {
      {96000, 2, 2, 24000, 0, 24000},        // resampled to 48000 Hz, 250 ms periods
      {96000, 4, 2, 0, 0, 9600},             // 100 ms, through the work buffer
      {96000, 2, 2, 0, 20000000, 22080},     // a flush: 200 ms of latency and 30 ms
      {48000, 4, 2, 48000, 1000000, 48000},  // no resampling, one second
      {44100, 2, 1, 0, 0, 4410},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << c.rate << " Hz, " << c.frames << " frames");
    QORAPOProcessChain chain;
    chain.maxPeriodFrames = c.maxPeriod;
    chain.targetLatency = c.target;
    ASSERT_TRUE(chain.ConstructChain(MakeRequest(chains, c.input, c.output, c.rate)));
    const uint32_t in = QORAPOProcessChain::ChannelsOfCode(c.input);
    const uint32_t out = QORAPOProcessChain::ChannelsOfCode(c.output);
    QORAudioDataFloat input, output;
    input.Init(c.frames, in, c.rate);
    float* samples = input.GetSamples(true, true);
    for (uint32_t i = 0; i < c.frames * in; ++i) samples[i] = 0.25f;
    output.Reserve(c.frames, out);
    for (int period = 0; period < 2; ++period) {
      output.Init(c.frames, out, c.rate);
      const qortest::AllocationScope scope;
      chain.Process(input, output, nullptr);
      EXPECT_EQ(scope.Count(), 0u) << "period " << period;
    }
  }
}

// A chain re-used for the same request joins a tuning session begun after its build, drops the
// tuned values while the block cannot be read, and hears tuning mode 0 once the holder has gone.
TEST(QORAPOProcessChain, ReusedChainJoinsATuningSessionAndHearsItsEnd) {
  const qortest::TempStateRoot root;
  const QORAPOProcessChain::Request request =
      MakeRequest(R"(<control name="Gain">50</control><chain input="Stereo" output="Stereo">)"
                  R"(<process tech_id="Test Gain" instance_id="G"/></chain>)",
                  2, 2, 48000);
  auto gain = [](QORAPOProcessChain& chain) {
    QORUTSValue value("Gain", 0L);
    static_cast<QORAPOProcessWrapper*>(chain.GetElement(0))->GetControl(value);
    return value.GetValueText();
  };
  QORAPOProcessChain chain;
  ASSERT_TRUE(chain.ConstructChain(request));
  EXPECT_FALSE(chain.tuningPoll);

  auto tool = std::make_unique<QORAPOTunedSettings>();
  ASSERT_TRUE(tool->Open(request.endpoint, request.mode, false));
  ASSERT_TRUE(tool->WriteControl(QORUTSValue("Gain", 200L)));
  ASSERT_TRUE(tool->WriteControl(QORUTSValue(QORAPOTunedSettings::kTuningModeName, 2L)));
  ASSERT_TRUE(chain.ConstructChain(request));
  EXPECT_TRUE(chain.tuningPoll);
  EXPECT_EQ(gain(chain), "200");

  // A writer that left a length but no well-formed set behind.
  QORSharedMemory raw;
  ASSERT_TRUE(raw.Create(QORAPOTunedSettings::BlockName(request.endpoint,
                                                        request.mode.GetModeIdentity()),
                         QORPropertySetSharedMem::kDefaultSize, false));
  auto* view = static_cast<uint8_t*>(raw.MapView());
  ASSERT_NE(view, nullptr);
  const uint8_t damaged[] = {8, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
  std::memcpy(view, damaged, sizeof(damaged));
  EXPECT_TRUE(chain.TuningChanged());
  ASSERT_TRUE(chain.ConstructChain(request));
  EXPECT_EQ(gain(chain), "50");
  EXPECT_FALSE(chain.TuningChanged());  // still unreadable: nothing new
  // Written again, the tuned values come back.
  QORUTSValueList values;
  values.Set(QORUTSValue("Gain", 200L));
  values.Set(QORUTSValue(QORAPOTunedSettings::kTuningModeName, 2L));
  ASSERT_TRUE(tool->WriteControls(values));
  EXPECT_TRUE(chain.TuningChanged());
  ASSERT_TRUE(chain.ConstructChain(request));
  EXPECT_EQ(gain(chain), "200");

  raw.Close();
  tool.reset();  // the tuning tool closes
  QORAPOTunedSettings later;
  ASSERT_TRUE(later.Open(request.endpoint, request.mode, true));  // the chain holds the block
  ASSERT_TRUE(later.WriteControl(QORUTSValue(QORAPOTunedSettings::kTuningModeName, "0")));
  EXPECT_TRUE(chain.TuningChanged());
  ASSERT_TRUE(chain.ConstructChain(request));
  EXPECT_EQ(gain(chain), "50");
}

}  // namespace
