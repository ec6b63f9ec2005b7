#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <string>
#include <vector>

#include "TestTechProbe.h"
#include "audio/QORAudioProcessDownmix.h"
#include "chain/QORAPOProcessChain.h"
#include "chain/QORAPOProcessWrapper.h"
#include "settings/QORAPOConfigurationFile.h"

namespace {

using testtech::ReadInt;

constexpr double kPi = 3.14159265358979323846;

// One mode (Music/Speakers) with a mode control Gain 200 and the given chains, read at the
// local-effect position.
std::shared_ptr<QORAPOOperatingMode> Mode(const std::string& chains,
                                          const std::string& controls = "") {
  const std::string xml =
      "<qor_configuration><properties><control name=\"Product Name\">T</control></properties>"
      "<operating_mode><control name=\"VAPO3-Operating Mode\">VAPO3-Music</control>"
      "<control name=\"VAPO3-Speaker Type\">VAPO3-Speakers</control>" +
      controls + chains + "</operating_mode></qor_configuration>";
  static QORAPOConfigurationFile file;  // modes are shared; each call replaces the last
  EXPECT_EQ(file.LoadFromText(xml, 0, 0), 0u);
  EXPECT_EQ(file.GetOperatingModes().size(), 1u);
  return file.GetOperatingModes().empty() ? nullptr : file.GetOperatingModes()[0];
}

QORAPOProcessChain::Request MakeRequest(const std::shared_ptr<QORAPOOperatingMode>& mode,
                                        uint32_t input, uint32_t output, uint32_t rate,
                                        bool render = true) {
  QORAPOProcessChain::Request request;
  request.endpoint.SetRender(render);
  if (mode != nullptr) request.mode = *mode;
  request.inputCode = input;
  request.outputCode = output;
  request.sampleRate = rate;
  return request;
}

QORAPOProcessWrapper* WrapperAt(QORAPOProcessChain& chain, size_t index) {
  return dynamic_cast<QORAPOProcessWrapper*>(chain.GetElement(index));
}

// Streams `signal` (one value per frame, the same in every input channel) through the chain in
// periods of `period` frames and returns output channel 0.
std::vector<float> RunChain(QORAPOProcessChain& chain, const std::vector<float>& signal,
                            uint32_t inChannels, uint32_t outChannels, uint32_t rate,
                            uint32_t period = 480, IQORAPOProcessChainPipeHook* hook = nullptr) {
  std::vector<float> result;
  QORAudioDataFloat in;
  QORAudioDataFloat out;
  for (size_t start = 0; start + period <= signal.size(); start += period) {
    in.Init(period, inChannels, rate);
    float* s = in.GetSamples(true, true);
    for (uint32_t f = 0; f < period; ++f) {
      for (uint32_t c = 0; c < inChannels; ++c) s[f * inChannels + c] = signal[start + f];
    }
    out.Init(period, outChannels, rate);
    chain.Process(in, out, hook);
    const float* o = out.GetSamples(false, true);
    for (uint32_t f = 0; f < period; ++f) result.push_back(o[f * outChannels]);
  }
  return result;
}

std::vector<float> Impulse(size_t frames, size_t at) {
  std::vector<float> v(frames, 0.0f);
  v[at] = 1.0f;
  return v;
}

long FirstNonZero(const std::vector<float>& v) {
  for (size_t i = 0; i < v.size(); ++i) {
    if (v[i] != 0.0f) return static_cast<long>(i);
  }
  return -1;
}

TEST(QORAPOProcessChain, AnyToAnyStereoRenderRunsTheElementsInFileOrderAtTheEndpointRate) {
  const auto mode = Mode(
      "<chain input=\"Any\" output=\"Any\"><process tech_id=\"Test Gain\" instance_id=\"A\"/>"
      "<process tech_id=\"Test Pass\" instance_id=\"B\"/></chain>");
  QORAPOProcessChain chain;
  ASSERT_TRUE(chain.ConstructChain(MakeRequest(mode, 2, 2, 48000)));
  EXPECT_TRUE(chain.constructed);
  EXPECT_EQ(chain.channels, 2u);
  EXPECT_EQ(chain.internalRate, 0u);
  ASSERT_EQ(chain.GetElementCount(), 2u);
  EXPECT_EQ(WrapperAt(chain, 0)->GetInstanceId(), "A");
  EXPECT_EQ(WrapperAt(chain, 1)->GetInstanceId(), "B");
  EXPECT_EQ(ReadInt(*WrapperAt(chain, 0), "InitRate"), 48000);
  // Test Gain halves; an impulse comes out at once at half height.
  const auto out = RunChain(chain, Impulse(960, 7), 2, 2, 48000);
  EXPECT_EQ(FirstNonZero(out), 7);
  EXPECT_EQ(out[7], 0.5f);
}

TEST(QORAPOProcessChain, PaddingReachesTheTargetAndTheImpulseComesOutAtTheLatency) {
  // Two blocks of 480 frames: 960 frames of elements at 48000 Hz.
  const auto mode = Mode(
      "<chain input=\"Stereo\" output=\"Stereo\">"
      "<process tech_id=\"Test Block 480 0\" instance_id=\"B\"/></chain>");
  struct Case {
    int64_t target;
    bool bypassed;
    uint32_t latency;
    uint32_t delay;
  };
  for (const Case& c : {Case{1000000, false, 960, 0}, Case{2500000, false, 1200, 240},
                        Case{2500000, true, 1200, 1200}, Case{0, false, 960, 0}}) {
    SCOPED_TRACE(testing::Message() << c.target << (c.bypassed ? " bypassed" : ""));
    QORAPOProcessChain chain;
    chain.targetLatency = c.target;
    ASSERT_TRUE(chain.ConstructChain(MakeRequest(mode, 2, 2, 48000)));
    chain.bypassed = c.bypassed;
    chain.UpdateLatency();
    EXPECT_EQ(chain.latency, c.latency);
    EXPECT_EQ(chain.GetDelay().GetLatency(), c.delay);
    EXPECT_EQ(FirstNonZero(RunChain(chain, Impulse(4800, 100), 2, 2, 48000)), 100 + c.latency);
  }
}

TEST(QORAPOProcessChain, ResamplingChainsReportAndDelayInEndpointFrames) {
  // A capture chain at 48000 Hz runs its process at 16000 Hz: its two blocks of 160 frames are
  // 960 endpoint frames, plus the converters and the FIFO lead.
  const auto mode = Mode(
      "<chain type=\"capture\" input=\"Mono\" output=\"Mono\">"
      "<process tech_id=\"Test Block 160 0\" instance_id=\"B\"/></chain>");
  for (int64_t target : {int64_t{0}, int64_t{4000000}}) {
    SCOPED_TRACE(target);
    QORAPOProcessChain chain;
    chain.targetLatency = target;
    ASSERT_TRUE(chain.ConstructChain(MakeRequest(mode, 1, 1, 48000, false)));
    EXPECT_EQ(chain.internalRate, 16000u);
    if (target == 0) {
      EXPECT_GT(chain.latency, 960u);
    } else {
      EXPECT_EQ(chain.latency, 1920u);
    }
    // A raised-cosine click narrow enough to locate, smooth enough to pass at 16000 Hz.
    std::vector<float> click(9600, 0.0f);
    const size_t at = 2000;
    for (int i = -12; i <= 12; ++i) {
      click[at + i] = static_cast<float>(0.5 + 0.5 * std::cos(kPi * i / 12.0));
    }
    const auto out = RunChain(chain, click, 1, 1, 48000);
    const long peak = std::max_element(out.begin(), out.end()) - out.begin();
    EXPECT_NEAR(peak - static_cast<long>(at), static_cast<long>(chain.latency), 1);
  }
}

TEST(QORAPOProcessChain, ProcessingRateIsTheNearestCandidateOrNone) {
  const auto mode = Mode(
      "<chain input=\"Any\" output=\"Any\"><process tech_id=\"Test Pass\" instance_id=\"P\"/>"
      "</chain><chain type=\"capture\" input=\"Any\" output=\"Any\">"
      "<process tech_id=\"Test Pass\" instance_id=\"P\"/></chain>");
  struct Case {
    bool render;
    uint32_t rate;
    uint32_t internal;
  };
  for (const Case& c :
       {Case{true, 44100, 0}, Case{true, 48000, 0}, Case{true, 96000, 48000},
        Case{true, 22050, 32000}, Case{true, 38050, 32000}, Case{true, 38051, 44100},
        Case{false, 48000, 16000}, Case{false, 16000, 0}, Case{false, 8000, 16000}}) {
    QORAPOProcessChain chain;
    ASSERT_TRUE(chain.ConstructChain(MakeRequest(mode, 2, 2, c.rate, c.render)));
    EXPECT_EQ(chain.internalRate, c.internal) << c.rate << (c.render ? " render" : " capture");
  }
}

TEST(QORAPOProcessChain, DownmixAndUpmixFollowTheInputLayout) {
  const auto mode = Mode(
      "<chain input=\"5.1 Surround\" output=\"Stereo\"><process tech_id=\"Downmix\"/>"
      "<process tech_id=\"Test Pass\" instance_id=\"P\"/></chain>"
      "<chain input=\"Mono; Stereo\" output=\"Stereo\"><process tech_id=\"Upmix\"/>"
      "<process tech_id=\"Test Pass\" instance_id=\"P\"/></chain>");
  QORAPOProcessChain down;
  ASSERT_TRUE(down.ConstructChain(MakeRequest(mode, 4, 2, 48000)));
  EXPECT_EQ(down.channels, 6u);
  ASSERT_EQ(down.GetElementCount(), 2u);
  auto* downmix = dynamic_cast<QORAudioProcessDownmix*>(down.GetElement(0));
  ASSERT_NE(downmix, nullptr);
  EXPECT_EQ(downmix->GetMode(), 1u);
  // FL 1, FR 2, C 3, LFE 4, LS 5, RS 6: the front pair receives the fold of the 6 channels.
  QORAudioDataFloat in;
  QORAudioDataFloat out;
  in.Init(4, 6, 48000);
  float* s = in.GetSamples(true, true);
  for (uint32_t f = 0; f < 4; ++f) {
    for (uint32_t c = 0; c < 6; ++c) s[f * 6 + c] = static_cast<float>(c + 1);
  }
  out.Init(4, 2, 48000);
  down.Process(in, out, nullptr);
  const float* o = out.GetSamples(false, true);
  EXPECT_EQ(o[6], 1.0f + 0.707f * (3.0f + 5.0f));
  EXPECT_EQ(o[7], 2.0f + 0.707f * (3.0f + 6.0f));

  QORAPOProcessChain up;
  ASSERT_TRUE(up.ConstructChain(MakeRequest(mode, 1, 2, 48000)));
  EXPECT_EQ(up.channels, 2u);
  ASSERT_EQ(up.GetElementCount(), 2u);
  EXPECT_EQ(dynamic_cast<QORAudioProcessDownmix*>(up.GetElement(0))->GetMode(), 3u);
  in.Init(3, 1, 48000);
  std::fill_n(in.GetSamples(true, true), 3, 0.25f);
  out.Init(3, 2, 48000);
  up.Process(in, out, nullptr);
  EXPECT_EQ(out.GetSamples(false, true)[5], 0.25f);  // the right channel takes the left

  // The same entry with a stereo input has nothing to upmix.
  QORAPOProcessChain stereo;
  ASSERT_TRUE(stereo.ConstructChain(MakeRequest(mode, 2, 2, 48000)));
  EXPECT_EQ(stereo.GetElementCount(), 1u);
}

TEST(QORAPOProcessChain, FailedSecondProcessLeavesAnUnbuiltChainPassingThroughAtTheTarget) {
  const auto mode = Mode(
      "<chain input=\"Stereo\" output=\"Stereo\"><process tech_id=\"Test Pass\" instance_id=\"A\"/>"
      "<process tech_id=\"No Such Tech\" instance_id=\"B\"/>"
      "<process tech_id=\"Test Gain\" instance_id=\"C\"/></chain>");
  QORAPOProcessChain chain;
  chain.targetLatency = 1000000;
  EXPECT_FALSE(chain.ConstructChain(MakeRequest(mode, 2, 2, 48000)));
  EXPECT_FALSE(chain.constructed);
  EXPECT_EQ(chain.GetElementCount(), 0u);
  EXPECT_EQ(chain.GetProcessList().GetProcessCount(), 0u);
  chain.UpdateLatency();
  EXPECT_EQ(chain.latency, 480u);
  const auto out = RunChain(chain, Impulse(1440, 3), 2, 2, 48000);
  EXPECT_EQ(FirstNonZero(out), 483);
  EXPECT_EQ(out[483], 1.0f);
}

TEST(QORAPOProcessChain, ControlsComeFromTheModeAndTheChainEntryWinsAndAreSentAgainOnRebuild) {
  const std::string chains =
      "<chain input=\"Stereo\" output=\"Stereo\"><process tech_id=\"Test Gain\" instance_id=\"A\"/>"
      "<process tech_id=\"Test Gain\" instance_id=\"B\"/>"
      "<control name=\"Gain\">300</control></chain>";
  // The mode sets both gains and A's label; the chain entry's Gain wins over the mode's.
  const auto mode = Mode(chains,
                         "<control name=\"Gain\">200</control>"
                         "<control name=\"A:Label\">first</control>");
  QORAPOProcessChain chain;
  const auto request = MakeRequest(mode, 2, 2, 48000);
  ASSERT_TRUE(chain.ConstructChain(request));
  EXPECT_EQ(ReadInt(*WrapperAt(chain, 0), "Gain"), 300);
  EXPECT_EQ(ReadInt(*WrapperAt(chain, 1), "Gain"), 300);
  EXPECT_EQ(testtech::ReadText(*WrapperAt(chain, 0), "Label"), "first");
  EXPECT_EQ(testtech::ReadText(*WrapperAt(chain, 1), "Label"), "");
  EXPECT_EQ(chain.GetSentControls().Size(), 2u);
  // Nothing changed: nothing to send.
  EXPECT_EQ(chain.ApplyTuning(), 0u);

  // The same request keeps the elements and sends every control again.
  IQORAudioProcess<float>* first = chain.GetElement(0);
  WrapperAt(chain, 0)->GetProcess()->SetControlInt("Gain", 7);
  ASSERT_TRUE(chain.ConstructChain(request));
  EXPECT_EQ(chain.GetElement(0), first);
  EXPECT_EQ(ReadInt(*WrapperAt(chain, 0), "Gain"), 300);

  QORAPOProcessChain reset;
  EXPECT_EQ(reset.ApplyTuning(), 2u);
}

class RecordingHook : public IQORAPOProcessChainPipeHook {
 public:
  void OnPipeData(bool receive, IQORAudioData<float>& data) override {
    (receive ? receives : sends)++;
    frames = data.GetFrameCount();
  }
  int receives = 0;
  int sends = 0;
  uint32_t frames = 0;
};

TEST(QORAPOProcessChain, BypassedCaptureChainSendsEachPeriodToTheHookAndRenderDoesNot) {
  const auto mode = Mode(
      "<chain type=\"capture\" input=\"Any\" output=\"Any\">"
      "<process tech_id=\"Test Pass\" instance_id=\"P\"/></chain>"
      "<chain input=\"Any\" output=\"Any\"><process tech_id=\"Test Pass\" instance_id=\"P\"/>"
      "</chain>");
  for (bool render : {false, true}) {
    QORAPOProcessChain chain;
    ASSERT_TRUE(chain.ConstructChain(MakeRequest(mode, 1, 1, 16000, render)));
    chain.bypassed = true;
    chain.UpdateLatency();
    RecordingHook hook;
    RunChain(chain, std::vector<float>(480, 0.5f), 1, 1, 16000, 160, &hook);
    EXPECT_EQ(hook.sends, render ? 0 : 3);
    EXPECT_EQ(hook.receives, 0);
  }
}

TEST(QORAPOProcessChain, PassThroughFoldsBetweenLayouts) {
  QORAPOProcessChain chain;  // never built
  QORAudioDataFloat in;
  QORAudioDataFloat out;
  in.Init(2, 2, 48000);
  float* s = in.GetSamples(true, true);
  s[0] = 1.0f, s[1] = 2.0f, s[2] = 3.0f, s[3] = 5.0f;
  out.Init(2, 1, 48000);
  chain.Process(in, out, nullptr);
  EXPECT_EQ(out.GetSamples(false, true)[1], (3.0f + 5.0f) * 0.707f);
  in.Init(1, 1, 48000);
  in.GetSamples(true, true)[0] = 0.5f;
  out.Init(1, 2, 48000);
  chain.Process(in, out, nullptr);
  EXPECT_EQ(out.GetSamples(false, true)[1], 0.5f);
}

TEST(QORAPOProcessChain, TakeStateFromOffersEachProcessTheOtherChainsProcesses) {
  const auto mode = Mode(
      "<chain input=\"Stereo\" output=\"Stereo\"><process tech_id=\"Test Pass\" instance_id=\"P\"/>"
      "<process tech_id=\"Test Gain\" instance_id=\"G\"/></chain>");
  QORAPOProcessChain giving;
  QORAPOProcessChain taking;
  ASSERT_TRUE(giving.ConstructChain(MakeRequest(mode, 2, 2, 48000)));
  ASSERT_TRUE(taking.ConstructChain(MakeRequest(mode, 2, 2, 48000)));
  RunChain(giving, std::vector<float>(960, 0.1f), 2, 2, 48000);
  taking.TakeStateFrom(giving);
  // Same tech id only: the gain process took the other gain's frame count, not the pass's.
  EXPECT_EQ(ReadInt(*WrapperAt(taking, 1), "Frames"), 960);
  EXPECT_EQ(ReadInt(*WrapperAt(taking, 0), "Frames"), 960);
}

}  // namespace
