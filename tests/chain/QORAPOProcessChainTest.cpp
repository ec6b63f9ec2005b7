#include "chain/QORAPOProcessChain.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <string>
#include <vector>

#include "TestTechProbe.h"
#include "audio/QORAudioProcessDownmix.h"
#include "chain/QORAPOProcessWrapper.h"
#include "settings/QORAPOConfigurationFile.h"

namespace {

using testtech::ReadInt;

// One mode (Music/Speakers) with the given controls and chains; each call replaces the last.
std::shared_ptr<QORAPOOperatingMode> Mode(const std::string& chains,
                                          const std::string& controls = "") {
  static QORAPOConfigurationFile file;
  EXPECT_EQ(file.LoadFromText("<qor_configuration><properties><control name=\"Product Name\">T"
                              "</control></properties><operating_mode><control name=\"VAPO3-"
                              "Operating Mode\">VAPO3-Music</control><control name=\"VAPO3-Speaker "
                              "Type\">VAPO3-Speakers</control>" +
                                  controls + chains + "</operating_mode></qor_configuration>",
                              0, 0),
            0u);
  return file.GetOperatingModes().empty() ? nullptr : file.GetOperatingModes()[0];
}

// A chain entry of the given layouts running the processes "tech id:instance id" in order.
std::string Chain(const std::string& layouts, std::initializer_list<const char*> processes,
                  const std::string& extra = "") {
  std::string xml = "<chain " + layouts + ">";
  for (std::string p : processes) {
    const size_t colon = p.find(':');
    xml += "<process tech_id=\"" + p.substr(0, colon) + "\"" +
           (colon == std::string::npos ? "" : " instance_id=\"" + p.substr(colon + 1) + "\"") +
           "/>";
  }
  return xml + extra + "</chain>";
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

// Streams `signal` (one value per frame in every input channel, or per sample when interleaved
// holds a whole period) through the chain and returns output channel 0, or everything when all.
std::vector<float> RunChain(QORAPOProcessChain& chain, const std::vector<float>& signal,
                            uint32_t inChannels, uint32_t outChannels, uint32_t rate,
                            uint32_t period = 480, IQORAPOProcessChainPipeHook* hook = nullptr) {
  std::vector<float> result;
  QORAudioDataFloat in, out;
  for (size_t start = 0; start + period <= signal.size(); start += period) {
    in.Init(period, inChannels, rate);
    float* s = in.GetSamples(true, true);
    for (uint32_t i = 0; i < period * inChannels; ++i) s[i] = signal[start + i / inChannels];
    out.Init(period, outChannels, rate);
    chain.Process(in, out, hook);
    for (uint32_t f = 0; f < period; ++f)
      result.push_back(out.GetSamples(false, true)[f * outChannels]);
  }
  return result;
}

std::vector<float> Impulse(size_t frames, size_t at) {
  std::vector<float> v(frames, 0.0f);
  v[at] = 1.0f;
  return v;
}

long FirstNonZero(const std::vector<float>& v) {
  const auto it = std::find_if(v.begin(), v.end(), [](float x) { return x != 0.0f; });
  return it == v.end() ? -1 : it - v.begin();
}

TEST(QORAPOProcessChain, PaddingReachesTheTargetAndTheImpulseComesOutAtTheLatency) {
  // Two blocks of 480 frames: 960 frames of elements at 48000 Hz.
  const auto mode = Mode(Chain("input=\"Stereo\" output=\"Stereo\"", {"Test Block 480 0:B"}));
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
    ASSERT_TRUE(chain.ConstructChain(MakeRequest(mode, 2, 2, 48000)));
    chain.bypassed = c.bypassed;
    chain.UpdateLatency();
    EXPECT_EQ(chain.latency, c.latency);
    EXPECT_EQ(chain.GetDelay().GetLatency(), c.delay);
    EXPECT_EQ(FirstNonZero(RunChain(chain, Impulse(4800, 100), 2, 2, 48000)), 100 + c.latency);
  }
}

TEST(QORAPOProcessChain, ProcessingRateIsTheNearestCandidateOrNone) {
  const auto mode = Mode(Chain("input=\"Any\" output=\"Any\"", {"Test Pass:P"}) +
                         Chain("type=\"capture\" input=\"Any\" output=\"Any\"", {"Test Pass:P"}));
  struct Case {
    bool render;
    uint32_t rate, internal;
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
  const auto mode =
      Mode(Chain("input=\"5.1 Surround\" output=\"Stereo\"", {"Downmix", "Test Pass:P"}) +
           Chain("input=\"Mono; Stereo\" output=\"Stereo\"", {"Upmix", "Test Pass:P"}));
  struct Case {
    uint32_t inCode, channels, elements, mode;  // mode of the first element, when there are two
    std::vector<float> input, output;           // one frame, interleaved
  };
  // FL 1, FR 2, C 3, LFE 4, LS 5, RS 6: the front pair receives the fold of the 6 channels.
  const Case cases[] = {{4,
                         6,
                         2,
                         1,
                         {1, 2, 3, 4, 5, 6},
                         {1.0f + 0.707f * (3.0f + 5.0f), 2.0f + 0.707f * (3.0f + 6.0f)}},
                        {1, 2, 2, 3, {0.25f}, {0.25f, 0.25f}},  // the right channel takes the left
                        {2, 2, 1, 0, {0.5f, 0.25f}, {0.5f, 0.25f}}};  // nothing to upmix
  for (const Case& c : cases) {
    SCOPED_TRACE(c.inCode);
    QORAPOProcessChain chain;
    ASSERT_TRUE(chain.ConstructChain(MakeRequest(mode, c.inCode, 2, 48000)));
    EXPECT_EQ(chain.channels, c.channels);
    ASSERT_EQ(chain.GetElementCount(), c.elements);
    if (c.elements == 2) {
      EXPECT_EQ(dynamic_cast<QORAudioProcessDownmix*>(chain.GetElement(0))->GetMode(), c.mode);
    }
    QORAudioDataFloat in, out;
    in.Assign(c.input.data(), 1, static_cast<uint32_t>(c.input.size()), true, 48000);
    out.Init(1, 2, 48000);
    chain.Process(in, out, nullptr);
    EXPECT_EQ(std::vector<float>(out.GetSamples(false, true), out.GetSamples(false, true) + 2),
              c.output);
  }
}

TEST(QORAPOProcessChain, FailedSecondProcessLeavesAnUnbuiltChainPassingThroughAtTheTarget) {
  const auto mode = Mode(Chain("input=\"Stereo\" output=\"Stereo\"",
                               {"Test Pass:A", "No Such Tech:B", "Test Gain:C"}));
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
  // The mode sets both gains and A's label; the chain entry's Gain wins over the mode's.
  const auto mode =
      Mode(Chain("input=\"Stereo\" output=\"Stereo\"", {"Test Gain:A", "Test Gain:B"},
                 "<control name=\"Gain\">300</control>"),
           "<control name=\"Gain\">200</control><control name=\"A:Label\">first</control>");
  QORAPOProcessChain chain;
  const auto request = MakeRequest(mode, 2, 2, 48000);
  ASSERT_TRUE(chain.ConstructChain(request));
  ASSERT_EQ(chain.GetElementCount(), 2u);
  EXPECT_EQ(WrapperAt(chain, 0)->GetInstanceId(), "A");  // in file order, at the endpoint rate
  EXPECT_EQ(ReadInt(*WrapperAt(chain, 0), "InitRate"), 48000);
  EXPECT_EQ(ReadInt(*WrapperAt(chain, 0), "Gain"), 300);
  EXPECT_EQ(ReadInt(*WrapperAt(chain, 1), "Gain"), 300);
  EXPECT_EQ(testtech::ReadText(*WrapperAt(chain, 0), "Label"), "first");
  EXPECT_EQ(testtech::ReadText(*WrapperAt(chain, 1), "Label"), "");
  EXPECT_EQ(chain.GetSentControls().Size(), 2u);
  EXPECT_EQ(chain.ApplyTuning(), 0u);  // nothing changed: nothing to send
  // The same request keeps the elements and sends every control again.
  IQORAudioProcess<float>* first = chain.GetElement(0);
  WrapperAt(chain, 0)->GetProcess()->SetControlInt("Gain", 7);
  ASSERT_TRUE(chain.ConstructChain(request));
  EXPECT_EQ(chain.GetElement(0), first);
  EXPECT_EQ(ReadInt(*WrapperAt(chain, 0), "Gain"), 300);
  EXPECT_EQ(QORAPOProcessChain().ApplyTuning(), 2u);
}

class RecordingHook : public IQORAPOProcessChainPipeHook {
 public:
  void OnPipeData(bool receive, IQORAudioData<float>&) override { (receive ? receives : sends)++; }
  int receives = 0, sends = 0;
};

TEST(QORAPOProcessChain, BypassedCaptureChainSendsEachPeriodToTheHookAndRenderDoesNot) {
  const auto mode = Mode(Chain("type=\"capture\" input=\"Any\" output=\"Any\"", {"Test Pass:P"}) +
                         Chain("input=\"Any\" output=\"Any\"", {"Test Pass:P"}));
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

}  // namespace
