#include "chain/QORAPOProcessChain.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "audio/QORAudioDataFloat.h"
#include "settings/QORAPOConfigurationFile.h"

namespace {

// One mode (Music/Speakers) whose chain entries are "<chain layouts>processes</chain>" for each
// pair of layouts and "tech id:instance id" list given; each call replaces the last.
std::shared_ptr<QORAPOOperatingMode> Mode(
    std::initializer_list<std::pair<const char*, std::vector<std::string>>> chains) {
  static QORAPOConfigurationFile file;
  std::string xml =
      "<qor_configuration><properties><control name=\"Product Name\">T</control></properties>"
      "<operating_mode><control name=\"VAPO3-Operating Mode\">VAPO3-Music</control>"
      "<control name=\"VAPO3-Speaker Type\">VAPO3-Speakers</control>";
  for (const auto& [layouts, processes] : chains) {
    xml += std::string("<chain ") + layouts + ">";
    for (const std::string& p : processes) {
      xml += "<process tech_id=\"" + p.substr(0, p.find(':')) + "\" instance_id=\"" +
             p.substr(p.find(':') + 1) + "\"/>";
    }
    xml += "</chain>";
  }
  EXPECT_EQ(file.LoadFromText(xml + "</operating_mode></qor_configuration>", 0, 0), 0u);
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

// Streams `signal` (one value per frame in every channel) through the chain in periods and returns
// output channel 0.
std::vector<float> RunChain(QORAPOProcessChain& chain, const std::vector<float>& signal,
                            uint32_t channels, uint32_t rate, uint32_t period = 480,
                            IQORAPOProcessChainPipeHook* hook = nullptr) {
  std::vector<float> result;
  QORAudioDataFloat in, out;
  for (size_t start = 0; start + period <= signal.size(); start += period) {
    in.Init(period, channels, rate);
    float* s = in.GetSamples(true, true);
    for (uint32_t i = 0; i < period * channels; ++i) s[i] = signal[start + i / channels];
    out.Init(period, channels, rate);
    chain.Process(in, out, hook);
    for (uint32_t f = 0; f < period; ++f)
      result.push_back(out.GetSamples(false, true)[f * channels]);
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
  const auto mode = Mode({{"input=\"Stereo\" output=\"Stereo\"", {"Test Block 480 0:B"}}});
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
    EXPECT_EQ(FirstNonZero(RunChain(chain, Impulse(4800, 100), 2, 48000)), 100 + c.latency);
  }
}

TEST(QORAPOProcessChain, ProcessingRateIsTheNearestCandidateOrNone) {
  const auto mode = Mode({{"input=\"Any\" output=\"Any\"", {"Test Pass:P"}},
                          {"type=\"capture\" input=\"Any\" output=\"Any\"", {"Test Pass:P"}}});
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

TEST(QORAPOProcessChain, FailedSecondProcessLeavesAnUnbuiltChainPassingThroughAtTheTarget) {
  const auto mode = Mode(
      {{"input=\"Stereo\" output=\"Stereo\"", {"Test Pass:A", "No Such Tech:B", "Test Gain:C"}}});
  QORAPOProcessChain chain;
  chain.targetLatency = 1000000;
  EXPECT_FALSE(chain.ConstructChain(MakeRequest(mode, 2, 2, 48000)));
  EXPECT_FALSE(chain.constructed);
  EXPECT_EQ(chain.GetElementCount(), 0u);
  EXPECT_EQ(chain.GetProcessList().GetProcessCount(), 0u);
  chain.UpdateLatency();
  EXPECT_EQ(chain.latency, 480u);
  const auto out = RunChain(chain, Impulse(1440, 3), 2, 48000);
  EXPECT_EQ(FirstNonZero(out), 483);
  EXPECT_EQ(out[483], 1.0f);
}

class RecordingHook : public IQORAPOProcessChainPipeHook {
 public:
  void OnPipeData(bool receive, IQORAudioData<float>&) override { (receive ? receives : sends)++; }
  int receives = 0, sends = 0;
};

TEST(QORAPOProcessChain, BypassedCaptureChainSendsEachPeriodToTheHookAndRenderDoesNot) {
  const auto mode = Mode({{"input=\"Any\" output=\"Any\"", {"Test Pass:P"}},
                          {"type=\"capture\" input=\"Any\" output=\"Any\"", {"Test Pass:P"}}});
  for (bool render : {false, true}) {
    QORAPOProcessChain chain;
    ASSERT_TRUE(chain.ConstructChain(MakeRequest(mode, 1, 1, 16000, render)));
    chain.bypassed = true;
    chain.UpdateLatency();
    RecordingHook hook;
    RunChain(chain, std::vector<float>(480, 0.5f), 1, 16000, 160, &hook);
    EXPECT_EQ(hook.sends, render ? 0 : 3);
    EXPECT_EQ(hook.receives, 0);
  }
}

}  // namespace
