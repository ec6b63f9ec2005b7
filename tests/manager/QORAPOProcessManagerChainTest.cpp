#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "AllocationCounter.h"
#include "BurstDelay.h"
#include "ChildProcess.h"
#include "TempStateRoot.h"
#include "TestEndpoint.h"
#include "chain/QORAPOProcessChain.h"
#include "chain/QORAPOProcessLibrary.h"
#include "chain/QORAPOProcessWrapper.h"
#include "common/QORTextConvert.h"
#include "endpoint/QORAPOGlobalSettings.h"
#include "endpoint/QORAPOModeSelector.h"
#include "endpoint/QORAPOPublicSettings.h"
#include "endpoint/QORAPOTunedSettings.h"
#include "manager/QORAPOProcessManager.h"
#include "settings/QORAPOConfigurationFile.h"

namespace {

std::string ReadExample() {
  std::ifstream file(QOR_EXAMPLE_CONFIGURATION);
  std::stringstream text;
  text << file.rdbuf();
  return text.str();
}

// Whether sample i of a 48000 Hz output lies within the flush of a stall that began at one of
// stalls (the common latency and 30 ms of silence, plus the crossfade of a rebuilt chain).
bool AfterStall(const std::vector<size_t>& stalls, size_t i) {
  for (size_t at : stalls) {
    if (i + 480 >= at && i < at + 9600) return true;
  }
  return false;
}

// From `from` on, a 48000 Hz output never holds a whole period of zeros, nor a step larger than
// twice the largest step of the steady tone in [steadyFrom, steadyTo). Stalls are not judged.
void ExpectNoClickOrGap(const std::vector<float>& left, size_t steadyFrom, size_t steadyTo,
                        size_t from, const std::vector<size_t>& stalls, uint32_t period) {
  float steadyStep = 0.0f;
  for (size_t i = steadyFrom; i < steadyTo; ++i)
    steadyStep = std::max(steadyStep, std::fabs(left[i] - left[i - 1]));
  ASSERT_GT(steadyStep, 0.0f);
  size_t zeros = 0;
  for (size_t i = from; i < left.size(); ++i) {
    if (AfterStall(stalls, i)) {
      zeros = 0;
      continue;
    }
    zeros = left[i] == 0.0f ? zeros + 1 : 0;
    ASSERT_LT(zeros, period) << i;
    ASSERT_LE(std::fabs(left[i] - left[i - 1]), 2.0f * steadyStep) << i;
  }
}

// A manager whose mode can be chosen by the test, as a mode selector would.
class ModeManager : public QORAPOProcessManager {
 public:
  ~ModeManager() override { StopThreads(); }
  QORAPOModeIdentity CurrentModeIdentity() override {
    return useMode ? mode : QORAPOProcessManager::CurrentModeIdentity();
  }
  // The test then plays the worker.
  void StopWorker() { StopThreads(); }
  bool useMode = false;
  QORAPOModeIdentity mode;
};

// Noise of amplitude 0.1 from a fixed seed.
std::vector<float> Noise(size_t frames, uint32_t seed = 12345) {
  std::vector<float> v(frames);
  for (float& x : v) {
    seed = seed * 1664525u + 1013904223u;
    x = 0.1f * (static_cast<float>(seed >> 8) / 8388608.0f - 1.0f);
  }
  return v;
}

// Streams signal through the manager in 10 ms periods: every input channel carries it (only the
// first on a capture endpoint, whose second channel is the echo reference). Returns output
// channel 0.
std::vector<float> Stream(QORAPOProcessManager& manager, const std::vector<float>& signal,
                          uint32_t inChannels, uint32_t outChannels, uint32_t rate,
                          bool firstOnly = false) {
  const uint32_t period = rate / 100;
  std::vector<float> in(static_cast<size_t>(period) * inChannels);
  std::vector<float> out(static_cast<size_t>(period) * outChannels);
  std::vector<float> result;
  for (size_t start = 0; start + period <= signal.size(); start += period) {
    for (uint32_t f = 0; f < period; ++f) {
      for (uint32_t c = 0; c < inChannels; ++c) {
        in[f * inChannels + c] = (c == 0 || !firstOnly) ? signal[start + f] : 0.0f;
      }
    }
    uint32_t frames = period;
    uint32_t outFrames = period;
    manager.Process(in.data(), &frames, out.data(), &outFrames, false);
    for (uint32_t f = 0; f < outFrames; ++f) result.push_back(out[f * outChannels]);
  }
  return result;
}

class QORAPOProcessManagerChainTest : public ::testing::Test {
 protected:
  void SetUp() override { path_ = QORUtf8ToWide(root_.Path()) + L"/config/laptop.xml"; }

  qortest::TempStateRoot root_;
  std::wstring path_;
};

TEST_F(QORAPOProcessManagerChainTest, SetEndpointInfoLoadsTheConfigurationAndScansItsChains) {
  const QORAPOEndpointInfo render = qortest::MakeEndpoint(true, path_, ReadExample());
  ModeManager manager;
  // The local-effect position reads the render and capture chains: both sides have processes.
  ASSERT_TRUE(manager.SetEndpointInfo(render, APO_FX_PreBlue));
  EXPECT_TRUE(manager.GetSideChainPipeFlag());
  EXPECT_TRUE(manager.GetCaptureWatchFlag());
  EXPECT_EQ(manager.GetMeteringMode(), 3u);
  // The effect positions read no capture chain.
  ASSERT_TRUE(manager.SetEndpointInfo(render, APO_FX_SFX));
  EXPECT_FALSE(manager.GetSideChainPipeFlag());
  EXPECT_TRUE(manager.GetCaptureWatchFlag());

  // A capture entry of tech id "Sidechain Pipe" counts only with that hook; a file without a
  // metering mode keeps the one set.
  const std::string head =
      "<qor_configuration><properties><control name=\"Product Name\">T</control></properties>"
      "<operating_mode><control name=\"VAPO3-Operating Mode\">VAPO3-Music</control>"
      "<control name=\"VAPO3-Speaker Type\">VAPO3-Speakers</control>"
      "<chain input=\"Any\" output=\"Any\"><process tech_id=\"NUV\" instance_id=\"N\"/></chain>"
      "<chain type=\"capture\" input=\"Any\" output=\"Any\">";
  const std::string tail = "</chain></operating_mode></qor_configuration>";
  int file = 0;
  for (const auto& [process, linked] :
       {std::pair<std::string, bool>{"<process tech_id=\"Sidechain Pipe\"/>", false},
        {"<process tech_id=\"Sidechain Pipe\" hook=\"Sidechain Pipe\"/>", true},
        {"<process tech_id=\"NUV\" instance_id=\"C\"/>", true}}) {
    // The parsed files are cached by path: each case has its own.
    const std::wstring path = path_ + std::to_wstring(++file);
    const QORAPOEndpointInfo other = qortest::MakeEndpoint(true, path, head + process + tail);
    manager.SetMeteringMode(2);
    ASSERT_TRUE(manager.SetEndpointInfo(other, APO_FX_PreBlue));
    EXPECT_EQ(manager.GetSideChainPipeFlag(), linked) << process;
    EXPECT_FALSE(manager.GetCaptureWatchFlag());
    EXPECT_EQ(manager.GetMeteringMode(), 2u);
  }

  // No file: false, and every chain bypasses.
  const QORAPOEndpointInfo missing = qortest::MakeEndpoint(true, path_ + L".none");
  EXPECT_FALSE(manager.SetEndpointInfo(missing, APO_FX_PreBlue));
  manager.Initialize(2, 2, 48000, APO_FX_PreBlue);
  EXPECT_EQ(manager.GetLatency(), 0);
  EXPECT_TRUE(manager.GetCurrentChain()->bypassed);
}

TEST_F(QORAPOProcessManagerChainTest, ConfigureChainBuildsTheModeAndBypassesOnRequest) {
  const QORAPOEndpointInfo render = qortest::MakeEndpoint(true, path_, ReadExample());
  ModeManager manager;
  ASSERT_TRUE(manager.SetEndpointInfo(render, APO_FX_PreBlue));
  manager.Initialize(2, 2, 48000, APO_FX_PreBlue);
  const int64_t latency = manager.GetLatency();
  EXPECT_GT(latency, 0);
  QORAPOProcessChain* current = manager.GetCurrentChain();
  ASSERT_TRUE(current->constructed);
  EXPECT_FALSE(current->bypassed);
  // Music/Speakers at the local-effect position: ZR3D then Speaker Protection.
  ASSERT_EQ(current->GetElementCount(), 2u);
  EXPECT_EQ(dynamic_cast<QORAPOProcessWrapper*>(current->GetElement(0))->GetInstanceId(),
            "LFX_Main");
  EXPECT_EQ(current->latency, QORAPOProcessChain::FramesOf(latency, 48000));
  EXPECT_EQ(current->GetSentControls().Find("ZR3D-GEQ Band 1")->GetValueText(), "-600");

  QORAPOProcessChain chain;
  struct Case {
    int32_t override;
    bool unknownMode;
    bool bypassed;
  };
  for (const Case& c : {Case{1, false, true}, Case{2, false, false}, Case{0, true, false}}) {
    manager.SetProcessingOverride(c.override);
    manager.useMode = c.unknownMode;
    manager.mode = QORAPOModeIdentity("VAPO3-Nothing", "VAPO3-Speakers");
    manager.ConfigureChain(chain);
    // An unknown mode falls back to the default one.
    EXPECT_TRUE(chain.constructed);
    EXPECT_EQ(chain.bypassed, c.bypassed) << c.override;
    EXPECT_EQ(chain.latency, QORAPOProcessChain::FramesOf(latency, 48000));
    EXPECT_EQ(chain.GetAppliedMode().GetModeIdentity().GetMode().GetValueText(), "VAPO3-Music");
  }
}

TEST_F(QORAPOProcessManagerChainTest, BypassedCaptureEndpointWithoutPipePassesItsInputThrough) {
  // No render chain, so no side-chain pipe: the bypassed chain's call to send its output must not
  // silence the microphone.
  const std::string xml =
      "<qor_configuration><properties><control name=\"Product Name\">T</control></properties>"
      "<operating_mode><control name=\"VAPO3-Operating Mode\">VAPO3-Communication</control>"
      "<control name=\"VAPO3-Speaker Type\">VAPO3-Speakers</control>"
      "<chain type=\"capture\" input=\"Mono\" output=\"Mono\">"
      "<process tech_id=\"QOR AEC/NR\" instance_id=\"CAP\" hook=\"Sidechain Pipe\"/></chain>"
      "</operating_mode></qor_configuration>";
  const QORAPOEndpointInfo capture = qortest::MakeEndpoint(false, path_, xml);
  ModeManager manager;
  ASSERT_TRUE(manager.SetEndpointInfo(capture, APO_FX_PreBlue));
  EXPECT_FALSE(manager.GetSideChainPipeFlag());
  manager.SetProcessingOverride(1);
  manager.Initialize(1, 1, 48000, APO_FX_Capture);
  ASSERT_TRUE(manager.GetCurrentChain()->bypassed);
  const int64_t expected = QORAPOProcessChain::FramesOf(manager.GetLatency(), 48000);
  EXPECT_GT(expected, 480);  // the 10 ms block at 16000 Hz and the converters

  std::vector<float> signal(9600, 0.0f);
  signal[1000] = 0.5f;
  const auto out = Stream(manager, signal, 1, 1, 48000);
  for (size_t i = 0; i < out.size(); ++i) {
    ASSERT_EQ(out[i], i == static_cast<size_t>(1000 + expected) ? 0.5f : 0.0f) << i;
  }
}

struct Layout {
  uint32_t in;
  uint32_t out;
};

// Every chain the example builds at one position, for every mode, layout pair and rate, and the
// bypass, delivers the audio at the common latency. Returns how many chains were built.
int CheckAlignment(const std::wstring& path, bool render, int32_t location,
                   const std::vector<Layout>& layouts, const std::vector<uint32_t>& rates) {
  const QORAPOEndpointInfo endpoint = qortest::MakeEndpoint(render, path, ReadExample());
  int built = 0;
  ModeManager manager;
  EXPECT_TRUE(manager.SetEndpointInfo(endpoint, location));
  std::vector<QORAPOModeIdentity> modes;
  for (const auto& mode : manager.GetConfiguration().GetOperatingModes()) {
    modes.push_back(mode->GetModeIdentity());
  }
  for (const Layout& layout : layouts) {
    for (uint32_t rate : rates) {
      // Every mode, then the bypass.
      for (size_t m = 0; m <= modes.size(); ++m) {
        const bool bypass = m == modes.size();
        manager.useMode = !bypass;
        if (!bypass) manager.mode = modes[m];
        manager.SetProcessingOverride(bypass ? 1 : 0);
        manager.Initialize(layout.in, layout.out, rate, render ? location : APO_FX_Capture);
        const QORAPOProcessChain& chain = *manager.GetCurrentChain();
        SCOPED_TRACE(testing::Message()
                     << (render ? "render" : "capture") << " at " << location << ", " << layout.in
                     << "->" << layout.out << " at " << rate << " Hz, "
                     << (bypass ? std::string("bypass")
                                : modes[m].GetText() + (chain.bypassed ? " (unbuilt)" : "")));
        if (!chain.bypassed) ++built;
        const long expected =
            static_cast<long>(QORAPOProcessChain::FramesOf(manager.GetLatency(), rate));
        EXPECT_EQ(chain.latency, static_cast<uint32_t>(expected));
        // A burst of noise after 100 ms of silence, and room for it to come out.
        const size_t at = rate / 10;
        const size_t length = 2048;
        std::vector<float> signal(at, 0.0f);
        const auto noise = Noise(length);
        signal.insert(signal.end(), noise.begin(), noise.end());
        signal.resize(at + length + expected + rate / 20, 0.0f);
        const auto out = Stream(manager, signal, layout.in, layout.out, rate, !render);
        EXPECT_NEAR(qortest::BurstDelay(signal, out, at, length, expected + rate / 50), expected,
                    1);
      }
    }
  }
  return built;
}

const std::vector<Layout> kRenderLayouts = {{2, 2}, {1, 2}, {6, 2}, {8, 8}};
const std::vector<uint32_t> kRenderRates = {44100, 48000, 96000};

TEST_F(QORAPOProcessManagerChainTest, ExampleChainsLineUpAtTheLocalEffectPosition) {
  // Music, Movie and Voice for both speaker types build at every rate and most layouts.
  EXPECT_GE(CheckAlignment(path_, true, APO_FX_PreBlue, kRenderLayouts, kRenderRates), 40);
}

TEST_F(QORAPOProcessManagerChainTest, ExampleChainsLineUpAtTheStreamPosition) {
  EXPECT_GE(CheckAlignment(path_, true, APO_FX_SFX, kRenderLayouts, kRenderRates), 30);
}

TEST_F(QORAPOProcessManagerChainTest, ExampleChainsLineUpAtTheModePosition) {
  // Only the two Movie modes have a chain there, for every input and stereo output.
  EXPECT_EQ(CheckAlignment(path_, true, APO_FX_MFX, kRenderLayouts, kRenderRates), 18);
}

TEST_F(QORAPOProcessManagerChainTest, ExampleChainsLineUpAtTheEndpointPosition) {
  EXPECT_GE(CheckAlignment(path_, true, APO_FX_EFX, kRenderLayouts, kRenderRates), 30);
}

TEST_F(QORAPOProcessManagerChainTest, ExampleCaptureChainsLineUp) {
  // The echo canceller and noise suppressor at 16000 Hz, resampled from every other rate.
  EXPECT_GE(
      CheckAlignment(path_, false, APO_FX_PreBlue, {{1, 1}, {2, 2}}, {16000, 44100, 48000, 96000}),
      12);
}

}  // namespace

namespace {

// Child: writes one public control of a mode of the endpoint, as a control panel would.
// Args: render ("1"/"0"), configuration path, location, mode, speaker type, control, value.
int WritePublicControl(const std::vector<std::string>& args) {
  if (args.size() != 7) return 2;
  const QORAPOEndpointInfo endpoint = qortest::MakeEndpoint(args[0] == "1", QORUtf8ToWide(args[1]));
  QORAPOConfigurationFile file;
  if (file.Load(QORUtf8ToWide(args[1]), 0, static_cast<uint32_t>(std::stoi(args[2]))) != 0)
    return 3;
  std::shared_ptr<QORAPOOperatingMode> mode;
  if (!file.FindOperatingMode(QORAPOModeIdentity(args[3], args[4]), mode)) return 4;
  QORAPOPublicSettings settings;
  settings.Init(endpoint, *mode);
  if (!settings.WriteControl(QORUTSValue(args[5], args[6]))) return 5;
  qortest::ChildSay("written");
  return 0;
}
qortest::ChildRegistration writePublic("write-public", WritePublicControl);

TEST_F(QORAPOProcessManagerChainTest, GlobalSwitchAndModeSelectorDecideAndPublicWritesRebuild) {
  const QORAPOEndpointInfo render = qortest::MakeEndpoint(true, path_, ReadExample());
  // Stored before the manager attaches: Movie is selected and processing is off.
  QORAPOModeSelector selector;
  ASSERT_TRUE(selector.Init(render, QORAPOModeIdentity("VAPO3-Music", "VAPO3-Speakers")));
  ASSERT_TRUE(selector.SetMode(QORAPOModeIdentity("VAPO3-Movie", "VAPO3-Speakers")));
  QORAPOGlobalSettings global;
  ASSERT_TRUE(global.InitGlobal(render));
  ASSERT_TRUE(
      global.WriteControl(QORUTSValue(QORAPOGlobalSettings::kProcessEnable, std::string("0"))));

  QORAPOProcessManager manager;
  ASSERT_TRUE(manager.SetEndpointInfo(render, APO_FX_PreBlue));
  manager.Initialize(2, 2, 48000, APO_FX_PreBlue);
  QORAPOProcessChain* current = manager.GetCurrentChain();
  EXPECT_TRUE(current->constructed);
  EXPECT_TRUE(current->bypassed);
  EXPECT_EQ(current->GetAppliedMode().GetModeIdentity().GetMode().GetValueText(), "VAPO3-Movie");

  // A 1 kHz tone runs while processing is switched on, then a child process switches the
  // equaliser off in the registry: each change is rebuilt and crossfaded without a click or gap.
  const uint32_t period = 480;
  std::vector<float> in(period * 2);
  std::vector<float> out(period * 2);
  std::vector<float> left;
  uint64_t n = 0;
  std::vector<size_t> stalls;
  auto lastCall = std::chrono::steady_clock::now();
  auto runUntil = [&](auto done) {
    const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!done() && std::chrono::steady_clock::now() < limit) {
      for (uint32_t f = 0; f < period; ++f, ++n) {
        in[2 * f] = in[2 * f + 1] =
            0.1f * static_cast<float>(std::sin(2 * 3.14159265358979 * n / 48.0));
      }
      uint32_t frames = period;
      uint32_t outFrames = period;
      // A test thread kept from running for longer than the stall limit is an engine stall: the
      // manager then flushes silence on purpose. Those stretches are not judged.
      const auto called = std::chrono::steady_clock::now();
      if (called - lastCall > std::chrono::milliseconds(250)) stalls.push_back(left.size());
      lastCall = called;
      manager.Process(in.data(), &frames, out.data(), &outFrames, false);
      for (uint32_t f = 0; f < period; ++f) left.push_back(out[2 * f]);
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return done();
  };
  runUntil([&] { return left.size() >= 48000; });
  ASSERT_TRUE(
      global.WriteControl(QORUTSValue(QORAPOGlobalSettings::kProcessEnable, std::string("1"))));
  ASSERT_TRUE(runUntil(
      [&] { return !manager.GetCurrentChain()->bypassed && manager.GetSwitchState() == 1; }));
  const size_t switched = left.size();
  runUntil([&] { return left.size() >= switched + 24000; });

  qortest::ChildProcess child;
  ASSERT_TRUE(child.Start("write-public", {"1", QORWideToUtf8(path_), "0", "VAPO3-Movie",
                                           "VAPO3-Speakers", "LUXSND-GEQ Enable", "0"}));
  // The tone keeps running while the child starts: a pause would be a stall of the engine.
  std::string said;
  bool written = false;
  ASSERT_TRUE(runUntil([&] {
    written = written || (child.ReadLine(said, 5) && said == "written");
    return written;
  }));
  ASSERT_TRUE(runUntil([&] {
    const QORUTSValue* sent =
        manager.GetCurrentChain()->GetSentControls().Find("LUXSND-GEQ Enable");
    return sent != nullptr && sent->GetValueText() == "0" && manager.GetSwitchState() == 1;
  }));
  runUntil([&] { return left.size() >= switched + 72000; });
  EXPECT_EQ(child.Wait(), 0);

  // From the first processed output on, judged against the steady tone before anything changed.
  ExpectNoClickOrGap(left, 24000, 48000, 24000, stalls, period);
}

}  // namespace

namespace {

TEST_F(QORAPOProcessManagerChainTest, SteadyAndSwitchingPeriodsThroughARealChainAllocateNothing) {
  // 5.1 in, stereo out at 96000 Hz: downmix, ZR3D and Speaker Protection at 48000 Hz.
  const QORAPOEndpointInfo render = qortest::MakeEndpoint(true, path_, ReadExample());
  ModeManager manager;
  ASSERT_TRUE(manager.SetEndpointInfo(render, APO_FX_PreBlue));
  manager.Initialize(6, 2, 96000, APO_FX_PreBlue);
  manager.StopWorker();
  QORAPOProcessChain* current = manager.GetCurrentChain();
  ASSERT_FALSE(current->bypassed);
  ASSERT_EQ(current->GetElementCount(), 3u);
  EXPECT_EQ(current->internalRate, 48000u);
  const uint32_t period = 960;
  std::vector<float> input(period * 6);
  for (size_t i = 0; i < input.size(); ++i)
    input[i] = 0.1f * static_cast<float>(std::sin(i * 0.01));
  std::vector<float> output(period * 2);
  auto run = [&] {
    uint32_t frames = period;
    uint32_t outFrames = period;
    manager.Process(input.data(), &frames, output.data(), &outFrames, false);
  };
  run();
  run();
  qortest::AllocationScope scope;
  for (int i = 0; i < 20; ++i) run();
  EXPECT_EQ(scope.Count(), 0u) << "steady";
  ASSERT_TRUE(manager.SwitchChains(QORAPOProcessManager::kSwitchStateSwitching));
  for (int i = 0; i < 20 && manager.GetSwitchState() != QORAPOProcessManager::kSwitchStateSteady;
       ++i) {
    run();
  }
  EXPECT_EQ(manager.GetSwitchState(), QORAPOProcessManager::kSwitchStateSteady);
  for (int i = 0; i < 5; ++i) run();
  EXPECT_EQ(scope.Count(), 0u);
}

}  // namespace

namespace {

TEST_F(QORAPOProcessManagerChainTest, SwitchingBetweenEqualChainsSoundsLikeNotSwitching) {
  // Movie/Speakers: the parametric equaliser (LUXSND) and Speaker Protection, at 48000 Hz.
  const QORAPOEndpointInfo render = qortest::MakeEndpoint(true, path_, ReadExample());
  ModeManager still;
  ModeManager switching;
  for (ModeManager* manager : {&still, &switching}) {
    manager->useMode = true;
    manager->mode = QORAPOModeIdentity("VAPO3-Movie", "VAPO3-Speakers");
    ASSERT_TRUE(manager->SetEndpointInfo(render, APO_FX_PreBlue));
    manager->Initialize(2, 2, 48000, APO_FX_PreBlue);
    manager->StopWorker();
    ASSERT_EQ(manager->GetCurrentChain()->GetElementCount(), 2u);
  }
  const uint32_t period = 480;
  const auto noise = Noise(period * 200, 777);
  std::vector<float> in(period * 2);
  std::vector<float> a(period * 2);
  std::vector<float> b(period * 2);
  float worst = 0.0f;
  QORAPOProcessChain* first = switching.GetCurrentChain();
  for (uint32_t p = 0; p < 200; ++p) {
    for (uint32_t f = 0; f < period; ++f) {
      // A tone with noise, loud enough for the leveller and limiter to act.
      const float tone = 0.5f * static_cast<float>(std::sin(0.05 * (p * period + f)));
      in[2 * f] = tone + 3.0f * noise[p * period + f];
      in[2 * f + 1] = tone - 3.0f * noise[p * period + f];
    }
    if (p == 50) {
      ASSERT_TRUE(switching.SwitchChains(QORAPOProcessManager::kSwitchStateSwitching));
    }
    uint32_t frames = period;
    uint32_t outFrames = period;
    still.Process(in.data(), &frames, a.data(), &outFrames, false);
    frames = outFrames = period;
    switching.Process(in.data(), &frames, b.data(), &outFrames, false);
    for (size_t i = 0; i < a.size(); ++i) worst = std::max(worst, std::fabs(a[i] - b[i]));
  }
  EXPECT_EQ(switching.GetSwitchState(), QORAPOProcessManager::kSwitchStateSteady);
  EXPECT_NE(switching.GetCurrentChain(), first);
  EXPECT_LT(20.0 * std::log10(std::max(worst, 1e-12f)), -100.0);
}

}  // namespace

namespace {

// Amplitude of the freq component of x[from, to) (to the end by default).
double AmplitudeAt(const std::vector<float>& x, size_t from, double freq, double rate,
                   size_t to = SIZE_MAX) {
  to = std::min(to, x.size());
  double s = 0.0;
  double c = 0.0;
  for (size_t i = from; i < to; ++i) {
    const double phase = 2.0 * 3.14159265358979 * freq * static_cast<double>(i) / rate;
    s += x[i] * std::sin(phase);
    c += x[i] * std::cos(phase);
  }
  return 2.0 * std::sqrt(s * s + c * c) / static_cast<double>(to - from);
}

// The Music chain's two processes called straight through the library with the given controls,
// on the same periods: the library's own answer.
std::vector<float> BareMusicChain(const QORUTSValueList& controls, const std::vector<float>& tone,
                                  uint32_t rate) {
  QORAPOProcessLibrary zr3d;
  QORAPOProcessLibrary protection;
  EXPECT_TRUE(zr3d.CreateProcess("ZR3D") && protection.CreateProcess("QOR Speaker Protection"));
  TechProcess* processes[] = {zr3d.GetProcess(), protection.GetProcess()};
  for (TechProcess* process : processes) {
    process->Init(2, rate);
    for (const auto& [name, value] : controls.Values()) {
      const int32_t n = value.GetIndex();
      if (n != -1) {
        process->SetControlInt(value.GetShortName().c_str(), n);
      } else {
        process->SetControlString(value.GetShortName().c_str(), value.GetValueText().c_str());
      }
    }
  }
  const uint32_t period = rate / 100;
  std::vector<float> planar(period * 2);
  TechChannel records[2] = {{planar.data(), 0, 0, nullptr},
                            {planar.data() + period, 1, 0, nullptr}};
  records[0].next = &records[1];
  std::vector<float> out;
  for (size_t start = 0; start + period <= tone.size(); start += period) {
    std::copy_n(tone.begin() + static_cast<std::ptrdiff_t>(start), period, planar.begin());
    std::copy_n(tone.begin() + static_cast<std::ptrdiff_t>(start), period, planar.begin() + period);
    for (TechProcess* process : processes) process->Process(records, records, period, nullptr);
    out.insert(out.end(), planar.begin(), planar.begin() + period);
  }
  return out;
}

TEST_F(QORAPOProcessManagerChainTest, ControlsFlowFromTheFileAndTheRegistryToTheSound) {
  // Music/Speakers at the local-effect position: its equaliser lifts band 4 (250 Hz) by 3 dB.
  // A control panel has switched the leveller off, which would otherwise level the tone whatever
  // the equaliser does.
  const QORAPOEndpointInfo render = qortest::MakeEndpoint(true, path_, ReadExample());
  QORAPOConfigurationFile file;
  ASSERT_EQ(file.Load(path_, 0, 0), 0u);
  std::shared_ptr<QORAPOOperatingMode> mode;
  ASSERT_TRUE(file.FindOperatingMode(QORAPOModeIdentity("VAPO3-Music", "VAPO3-Speakers"), mode));
  QORAPOPublicSettings panel;
  panel.Init(render, *mode);
  ASSERT_TRUE(panel.WriteControl(QORUTSValue("ZR3D-AmploHD Enable", std::string("0"))));
  QORAPOProcessManager manager;
  ASSERT_TRUE(manager.SetEndpointInfo(render, APO_FX_PreBlue));
  manager.Initialize(2, 2, 48000, APO_FX_PreBlue);
  // Four seconds: the leveller settles before the last one is measured.
  std::vector<float> tone(192000);
  for (size_t i = 0; i < tone.size(); ++i) {
    tone[i] = 0.25f * static_cast<float>(std::sin(2.0 * 3.14159265358979 * 250.0 * i / 48000.0));
  }
  QORUTSValueList controls = mode->GetControls();
  controls.Find("ZR3D-AmploHD Enable")->SetValueText("0");
  const auto bareOn = BareMusicChain(controls, tone, 48000);
  controls.Find("ZR3D-GEQ Enable")->SetValueText("0");
  const auto bareOff = BareMusicChain(controls, tone, 48000);
  const double on = AmplitudeAt(bareOn, 144000, 250.0, 48000.0);
  const double off = AmplitudeAt(bareOff, 144000, 250.0, 48000.0);
  EXPECT_NEAR(20.0 * std::log10(on / off), 3.0, 0.5);  // the band's 300 hundredths of a dB

  const auto hostOn = Stream(manager, tone, 2, 2, 48000);
  EXPECT_NEAR(20.0 * std::log10(AmplitudeAt(hostOn, 144000, 250.0, 48000.0) / on), 0.0, 0.5);

  // A control panel switches the equaliser off: the rebuilt chain sounds like the library with
  // the equaliser off.
  ASSERT_TRUE(panel.WriteControl(QORUTSValue("ZR3D-GEQ Enable", std::string("0"))));
  const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  for (;;) {
    const QORUTSValue* sent = manager.GetCurrentChain()->GetSentControls().Find("ZR3D-GEQ Enable");
    if ((sent != nullptr && sent->GetValueText() == "0" && manager.GetSwitchState() == 1) ||
        std::chrono::steady_clock::now() > limit) {
      break;
    }
    // The tone goes on while the worker rebuilds.
    Stream(manager, std::vector<float>(tone.begin(), tone.begin() + 480), 2, 2, 48000);
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  ASSERT_EQ(manager.GetCurrentChain()->GetSentControls().Find("ZR3D-GEQ Enable")->GetValueText(),
            "0");
  const auto hostOff = Stream(manager, tone, 2, 2, 48000);
  EXPECT_NEAR(20.0 * std::log10(AmplitudeAt(hostOff, 144000, 250.0, 48000.0) / off), 0.0, 0.5);
}

TEST_F(QORAPOProcessManagerChainTest, APublicWriteByAnotherProcessIsHeardInTimeAndWithoutAClick) {
  // Music/Speakers with the leveller off, as above: the band's 3 dB show in the tone's level.
  const QORAPOEndpointInfo render = qortest::MakeEndpoint(true, path_, ReadExample());
  QORAPOConfigurationFile file;
  ASSERT_EQ(file.Load(path_, 0, 0), 0u);
  std::shared_ptr<QORAPOOperatingMode> mode;
  ASSERT_TRUE(file.FindOperatingMode(QORAPOModeIdentity("VAPO3-Music", "VAPO3-Speakers"), mode));
  QORAPOPublicSettings panel;
  panel.Init(render, *mode);
  ASSERT_TRUE(panel.WriteControl(QORUTSValue("ZR3D-AmploHD Enable", std::string("0"))));
  QORAPOProcessManager manager;
  ASSERT_TRUE(manager.SetEndpointInfo(render, APO_FX_PreBlue));
  manager.Initialize(2, 2, 48000, APO_FX_PreBlue);
  const uint32_t rate = 48000;
  const uint32_t period = 480;
  const int64_t common = manager.GetLatency() * rate / 10000000;

  // Periods paced against the wall clock as an engine does, so that the worker's rebuild runs in
  // the output time it would have.
  std::vector<float> in(period * 2);
  std::vector<float> out(period * 2);
  std::vector<float> left;
  uint64_t n = 0;
  std::vector<size_t> stalls;
  auto due = std::chrono::steady_clock::now();
  auto lastCall = due;
  auto runUntil = [&](auto done) {
    const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    bool finished = done();
    while (!finished && std::chrono::steady_clock::now() < limit) {
      for (uint32_t f = 0; f < period; ++f, ++n) {
        in[2 * f] = in[2 * f + 1] =
            0.25f * static_cast<float>(std::sin(2.0 * 3.14159265358979 * 250.0 * n / rate));
      }
      uint32_t frames = period;
      uint32_t outFrames = period;
      const auto called = std::chrono::steady_clock::now();
      if (called - lastCall > std::chrono::milliseconds(250)) stalls.push_back(left.size());
      lastCall = called;
      manager.Process(in.data(), &frames, out.data(), &outFrames, false);
      for (uint32_t f = 0; f < period; ++f) left.push_back(out[2 * f]);
      due += std::chrono::milliseconds(10);
      // Far behind (a stall of the test thread): start the schedule again instead of catching up.
      if (std::chrono::steady_clock::now() > due + std::chrono::milliseconds(100)) {
        due = std::chrono::steady_clock::now();
      }
      std::this_thread::sleep_until(due);
      finished = done();
    }
    return finished;
  };
  // 20 whole cycles of the 250 Hz tone.
  const size_t measure = 3840;
  ASSERT_TRUE(runUntil([&] { return left.size() >= 2 * size_t{rate}; }));
  const double before = AmplitudeAt(left, left.size() - measure, 250.0, rate);

  qortest::ChildProcess child;
  ASSERT_TRUE(child.Start("write-public", {"1", QORWideToUtf8(path_), "0", "VAPO3-Music",
                                           "VAPO3-Speakers", "ZR3D-GEQ Enable", "0"}));
  std::string said;
  bool written = false;
  ASSERT_TRUE(runUntil([&] {
    written = written || (child.ReadLine(said, 5) && said == "written");
    return written;
  }));
  // The next period is the first in which the write is visible.
  const size_t visible = left.size();
  ASSERT_TRUE(runUntil([&] { return left.size() >= visible + 2 * size_t{rate}; }));
  EXPECT_EQ(child.Wait(), 0);
  const QORUTSValue* sent = manager.GetCurrentChain()->GetSentControls().Find("ZR3D-GEQ Enable");
  ASSERT_NE(sent, nullptr);
  EXPECT_EQ(sent->GetValueText(), "0");
  const double after = AmplitudeAt(left, left.size() - measure, 250.0, rate);
  EXPECT_NEAR(20.0 * std::log10(before / after), 3.0, 0.5);

  // The first window of two cycles, ending at `heard`, whose level is the new gain's.
  const size_t window = 384;
  size_t heard = visible + window;
  while (heard <= left.size() &&
         std::fabs(20.0 * std::log10(AmplitudeAt(left, heard - window, 250.0, rate, heard) /
                                     after)) > 0.5) {
    heard += 8;
  }
  ASSERT_LE(heard, left.size());
  const int64_t took = static_cast<int64_t>(heard - visible);
  const int64_t budget = (100 + 30) * int64_t{rate} / 1000 + common;
  std::printf("public write heard after %lld output frames (budget %lld, common latency %lld)\n",
              static_cast<long long>(took), static_cast<long long>(budget),
              static_cast<long long>(common));
  EXPECT_LE(took, budget);
  ExpectNoClickOrGap(left, rate, 2 * size_t{rate}, rate, stalls, period);
}

// Gain bands 3 and 4 are public; the chain entry sets band 3 itself. The leveller is off, so that
// band 4's gain shows in a 250 Hz tone's level.
constexpr char kTunedConfiguration[] =
    "<qor_configuration><properties><control name=\"Product Name\">T</control>"
    "<control name=\"VAPO3-Operating Mode\">VAPO3-Music</control>"
    "<control name=\"VAPO3-Speaker Type\">VAPO3-Speakers</control></properties>"
    "<operating_mode><control name=\"VAPO3-Operating Mode\">VAPO3-Music</control>"
    "<control name=\"VAPO3-Speaker Type\">VAPO3-Speakers</control>"
    "<control name=\"ZR3D-GEQ Enable\">1</control>"
    "<control name=\"ZR3D-AmploHD Enable\">0</control>"
    "<control name=\"ZR3D-GEQ Band 3\" public=\"true\">100</control>"
    "<control name=\"ZR3D-GEQ Band 4\" public=\"true\">100</control>"
    "<chain input=\"Stereo\" output=\"Stereo\"><process tech_id=\"ZR3D\" instance_id=\"M\"/>"
    "<control name=\"ZR3D-GEQ Band 3\">900</control></chain></operating_mode>"
    "</qor_configuration>";

TEST_F(QORAPOProcessManagerChainTest,
       TuningModeTwoLetsTheTunedValueWinAndTheChainEntryWinsOverAll) {
  const QORAPOEndpointInfo render = qortest::MakeEndpoint(true, path_, kTunedConfiguration);
  QORAPOConfigurationFile file;
  ASSERT_EQ(file.Load(path_, 0, 0), 0u);
  std::shared_ptr<QORAPOOperatingMode> mode;
  ASSERT_TRUE(file.FindOperatingMode(QORAPOModeIdentity("VAPO3-Music", "VAPO3-Speakers"), mode));
  QORAPOPublicSettings panel;
  panel.Init(render, *mode);
  ASSERT_TRUE(panel.WriteControl(QORUTSValue("ZR3D-GEQ Band 3", std::string("200"))));
  ASSERT_TRUE(panel.WriteControl(QORUTSValue("ZR3D-GEQ Band 4", std::string("0"))));
  std::vector<float> tone(48000);
  for (size_t i = 0; i < tone.size(); ++i) {
    tone[i] = 0.1f * static_cast<float>(std::sin(2.0 * 3.14159265358979 * 250.0 * i / 48000.0));
  }
  struct Case {
    long tuningMode;
    const char* band4;
  };
  // Without a tuning tool at work the public value wins; in tuning mode 2 the tuned one.
  double level[2] = {};
  const Case cases[] = {{0, "0"}, {2, "600"}};
  for (size_t k = 0; k < 2; ++k) {
    const Case& c = cases[k];
    SCOPED_TRACE(c.tuningMode);
    QORAPOTunedSettings tool;
    ASSERT_TRUE(tool.Open(render, *mode, false));
    QORUTSValueList tuned;
    tuned.Set(QORUTSValue("ZR3D-GEQ Band 3", std::string("300")));
    tuned.Set(QORUTSValue("ZR3D-GEQ Band 4", std::string("600")));
    tuned.Set(QORUTSValue(QORAPOTunedSettings::kTuningModeName, c.tuningMode));
    ASSERT_TRUE(tool.WriteControls(tuned));

    QORAPOProcessManager manager;
    ASSERT_TRUE(manager.SetEndpointInfo(render, APO_FX_PreBlue));
    manager.Initialize(2, 2, 48000, APO_FX_PreBlue);
    QORAPOProcessChain* current = manager.GetCurrentChain();
    ASSERT_TRUE(current->constructed);
    ASSERT_FALSE(current->bypassed);
    const QORUTSValue* band3 = current->GetSentControls().Find("ZR3D-GEQ Band 3");
    const QORUTSValue* band4 = current->GetSentControls().Find("ZR3D-GEQ Band 4");
    ASSERT_NE(band3, nullptr);
    ASSERT_NE(band4, nullptr);
    EXPECT_EQ(band3->GetValueText(), "900");
    EXPECT_EQ(band4->GetValueText(), c.band4);
    level[k] = AmplitudeAt(Stream(manager, tone, 2, 2, 48000), 24000, 250.0, 48000.0);
  }
  // The tuned 6 dB on band 4 are heard.
  EXPECT_NEAR(20.0 * std::log10(level[1] / level[0]), 6.0, 0.5);
}

}  // namespace

namespace {

// Child: writes a public control of Music/Speakers `count` times as fast as it can, alternating
// "1" and "0" so that the last write is "0". Args: configuration path, control, count.
int WritePublicMany(const std::vector<std::string>& args) {
  if (args.size() != 3) return 2;
  const QORAPOEndpointInfo endpoint = qortest::MakeEndpoint(true, QORUtf8ToWide(args[0]));
  QORAPOConfigurationFile file;
  if (file.Load(QORUtf8ToWide(args[0]), 0, 0) != 0) return 3;
  std::shared_ptr<QORAPOOperatingMode> mode;
  if (!file.FindOperatingMode(QORAPOModeIdentity("VAPO3-Music", "VAPO3-Speakers"), mode)) return 4;
  QORAPOPublicSettings settings;
  settings.Init(endpoint, *mode);
  const int count = std::stoi(args[2]);
  for (int i = 0; i < count; ++i) {
    if (!settings.WriteControl(QORUTSValue(args[1], std::string(i % 2 == 0 ? "1" : "0")))) return 5;
  }
  qortest::ChildSay("done");
  return 0;
}
qortest::ChildRegistration writePublicMany("write-public-many", WritePublicMany);

TEST_F(QORAPOProcessManagerChainTest, AThousandQuickWritesNeverDropTheToneAndEndOnTheLastValue) {
  const QORAPOEndpointInfo render = qortest::MakeEndpoint(true, path_, ReadExample());
  QORAPOProcessManager manager;
  ASSERT_TRUE(manager.SetEndpointInfo(render, APO_FX_PreBlue));
  manager.Initialize(2, 2, 48000, APO_FX_PreBlue);
  const uint32_t period = 480;
  std::vector<float> in(period * 2);
  std::vector<float> out(period * 2);
  std::vector<float> left;
  uint64_t n = 0;
  std::vector<size_t> stalls;
  auto lastCall = std::chrono::steady_clock::now();
  auto runUntil = [&](auto done) {
    const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    bool finished = done();
    while (!finished && std::chrono::steady_clock::now() < limit) {
      for (uint32_t f = 0; f < period; ++f, ++n) {
        in[2 * f] = in[2 * f + 1] =
            0.1f * static_cast<float>(std::sin(2 * 3.14159265358979 * n / 48.0));
      }
      uint32_t frames = period;
      uint32_t outFrames = period;
      // A test thread kept from running for longer than the stall limit is an engine stall: the
      // manager then flushes silence on purpose. Those stretches are not judged.
      const auto called = std::chrono::steady_clock::now();
      if (called - lastCall > std::chrono::milliseconds(250)) stalls.push_back(left.size());
      lastCall = called;
      manager.Process(in.data(), &frames, out.data(), &outFrames, false);
      for (uint32_t f = 0; f < period; ++f) left.push_back(out[2 * f]);
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
      finished = done();
    }
    return finished;
  };
  runUntil([&] { return left.size() >= 48000; });
  const uint32_t rebuildsBefore = manager.GetRebuildCount();
  const auto begin = std::chrono::steady_clock::now();
  qortest::ChildProcess child;
  ASSERT_TRUE(child.Start("write-public-many", {QORWideToUtf8(path_), "ZR3D-GEQ Enable", "1000"}));
  std::string said;
  bool done = false;
  ASSERT_TRUE(runUntil([&] {
    done = done || (child.ReadLine(said, 5) && said == "done");
    return done;
  }));
  EXPECT_EQ(child.Wait(), 0);
  // The last write wins, once the worker has caught up and the last switch has ended.
  ASSERT_TRUE(runUntil([&] {
    const QORUTSValue* sent = manager.GetCurrentChain()->GetSentControls().Find("ZR3D-GEQ Enable");
    return sent != nullptr && sent->GetValueText() == "0" && manager.GetSwitchState() == 1 &&
           manager.GetWorkerPhase() == QORAPOProcessManager::kWorkerIdle;
  }));
  const auto elapsedMs = std::chrono::duration_cast<std::chrono::milliseconds>(
                             std::chrono::steady_clock::now() - begin)
                             .count();
  const uint32_t rebuilds = manager.GetRebuildCount() - rebuildsBefore;
  EXPECT_GE(rebuilds, 1u);
  EXPECT_LE(rebuilds, static_cast<uint32_t>(elapsedMs / 100 + 1));

  ExpectNoClickOrGap(left, 24000, 48000, 24000, stalls, period);
}

}  // namespace
