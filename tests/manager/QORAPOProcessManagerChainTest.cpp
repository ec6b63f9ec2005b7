#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cmath>
#include <complex>
#include <fstream>
#include <functional>
#include <iomanip>
#include <iterator>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "AllocationCounter.h"
#include "BurstDelay.h"
#include "ChildProcess.h"
#include "TempStateRoot.h"
#include "TestEndpoint.h"
#include "chain/QORAPOProcessLibrary.h"
#include "common/QORTextConvert.h"
#include "endpoint/QORAPOGlobalSettings.h"
#include "endpoint/QORAPOTunedSettings.h"
#include "manager/QORAPOProcessManager.h"
#include "platform/QORAudioEndpointKeys.h"
#include "platform/QOREndpointStore.h"
#include "platform/QORRegistryPropertyStore.h"

namespace {

using namespace std::string_literals;

constexpr double kPi = 3.14159265358979323846;
const QORAPOModeIdentity kMusic("VAPO3-Music", "VAPO3-Speakers");
const auto Db = [](double ratio) { return 20.0 * std::log10(ratio); };

std::string ReadExample() {
  std::ifstream file(QOR_EXAMPLE_CONFIGURATION);
  return std::string(std::istreambuf_iterator<char>(file), {});
}

// The sum of x[from, from + n) e^-iwt, Hann-weighted if asked (so that a few cycles suffice).
std::complex<double> Correlate(const std::vector<float>& x, size_t from, size_t n, double freq,
                               double rate, bool hann = false) {
  const std::complex<double> step = std::polar(1.0, -2.0 * kPi * freq / rate);
  std::complex<double> z = std::polar(1.0, -2.0 * kPi * freq * from / rate), sum = 0.0;
  for (size_t i = 0; i < n; ++i, z *= step)
    sum += (hann ? 1.0 - std::cos(2.0 * kPi * i / n) : 1.0) * x[from + i] * z;
  return sum;
}

// Amplitude of the freq component of x[from, to) (to the end by default).
double AmplitudeAt(const std::vector<float>& x, size_t from, double freq, double rate,
                   size_t to = SIZE_MAX) {
  to = std::min(to, x.size());
  return 2.0 * std::abs(Correlate(x, from, to - from, freq, rate)) / static_cast<double>(to - from);
}

// The tone of x[from, from + n): the strongest frequency near 1 kHz, the amplitude by RMS, and
// the share of the energy that a sine of that frequency leaves unexplained.
struct ToneFit {
  double frequency = 0.0, amplitude = 0.0, residual = 1.0;
};
ToneFit FitTone(const std::vector<float>& x, size_t from, size_t n, double rate) {
  ToneFit fit{1000.0};
  double best = -1.0;
  for (const auto& [span, step] : {std::pair{20.0, 1.0}, {1.0, 0.01}}) {
    const double centre = fit.frequency;
    for (double f = centre - span; f <= centre + span; f += step) {
      const double power = std::norm(Correlate(x, from, n, f, rate, true));
      if (power > best) std::tie(best, fit.frequency) = std::tuple(power, f);
    }
  }
  const std::complex<double> sum = Correlate(x, from, n, fit.frequency, rate);
  double energy = 0.0, left = 0.0;
  for (size_t i = from; i < from + n; ++i) {
    const double phase = 2.0 * kPi * fit.frequency * i / rate;
    const double r = x[i] - 2.0 * (sum.real() * std::cos(phase) - sum.imag() * std::sin(phase)) / n;
    energy += x[i] * x[i];
    left += r * r;
  }
  fit.amplitude = std::sqrt(2.0 * energy / n);
  fit.residual = energy > 0.0 ? left / energy : 1.0;
  return fit;
}

// Noise of amplitude 0.1 from a fixed seed.
std::vector<float> Noise(size_t frames, uint32_t seed = 12345) {
  std::vector<float> v(frames);
  for (float& x : v) {
    seed = seed * 1664525u + 1013904223u;
    x = 0.1f * (static_cast<float>(seed >> 8) / 8388608.0f - 1.0f);
  }
  return v;
}

// Silence, `length` frames of noise from `at` on, then `after` frames of silence.
std::vector<float> Burst(size_t at, size_t length, size_t after) {
  std::vector<float> signal(at + length + after, 0.0f);
  const auto noise = Noise(length);
  std::copy(noise.begin(), noise.end(), signal.begin() + static_cast<std::ptrdiff_t>(at));
  return signal;
}

// A mode of a configuration file, as a control panel or a tuning tool opens it.
std::shared_ptr<QORAPOOperatingMode> FindMode(const std::wstring& path) {
  QORAPOConfigurationFile file;
  std::shared_ptr<QORAPOOperatingMode> mode;
  if (file.Load(path, 0, 0) != 0 || !file.FindOperatingMode(kMusic, mode)) return nullptr;
  return mode;
}

// A manager whose mode the test may choose. It keeps what it hands a chain on the side-chain
// channel, in storage sized beforehand so that recording never allocates.
class ModeManager : public QORAPOProcessManager {
 public:
  ModeManager() { received.reserve(48000 * 30); }
  ~ModeManager() override { StopThreads(); }
  QORAPOModeIdentity CurrentModeIdentity() override {
    return useMode ? mode : QORAPOProcessManager::CurrentModeIdentity();
  }
  void OnPipeData(bool receive, IQORAudioData<float>& data) override {
    QORAPOProcessManager::OnPipeData(receive, data);
    if (!receive) return;
    rate.store(data.GetSampleRate());
    role.store(data.GetChannelMapEntry(0));
    const float* samples = data.GetSamples(false, false);
    for (uint32_t f = 0; f < data.GetFrameCount() && received.size() < received.capacity(); ++f)
      received.push_back(samples[f]);
    data.ReleaseSamples();
  }
  void StopWorker() { StopThreads(); }  // the test then plays the worker
  bool useMode = false;
  QORAPOModeIdentity mode;
  std::vector<float> received;
  std::atomic<uint32_t> rate{0};
  std::atomic<uint32_t> role{0};
};

using Signal = std::function<float(uint64_t frame, uint32_t channel)>;

// A sine with an amplitude per channel; the phase offset keeps samples off the crest.
Signal Sine(double frequency, uint32_t rate, std::vector<float> amplitudes) {
  return [=](uint64_t n, uint32_t c) {
    return static_cast<float>(amplitudes[c] * std::sin(2.0 * kPi * frequency * n / rate + 0.3));
  };
}

// Plays a signal through a manager in 10 ms periods, keeping output channel 0. Paced, it keeps to
// the wall clock as an engine does; a period over 250 ms late is a stall (the manager flushes).
struct Player {
  void Period() {
    const uint32_t period = rate / 100;
    input.resize(period * in);
    output.resize(period * out);
    for (uint32_t f = 0; f < period; ++f, ++n) {
      for (uint32_t c = 0; c < in; ++c) input[f * in + c] = signal(n, c);
    }
    const auto now = std::chrono::steady_clock::now();
    if (left.empty()) due = last = now;
    if (paced && now - last > std::chrono::milliseconds(250)) stalls.push_back(left.size());
    last = now;
    // Unpaced, the player is an offline host: a busy machine's gaps are its own, not stalls.
    if (!paced) manager.ContinueAfterPause();
    uint32_t frames = period;
    uint32_t outFrames = period;
    const qortest::AllocationScope scope;
    manager.Process(input.data(), &frames, output.data(), &outFrames, false);
    allocations = scope.Count();
    for (uint32_t f = 0; f < outFrames; ++f) left.push_back(output[f * out]);
    if (!paced) return;
    // Far behind (a stall of the test thread): start the schedule again instead of catching up.
    due = std::max(due + std::chrono::milliseconds(10),
                   std::chrono::steady_clock::now() - std::chrono::milliseconds(100));
    std::this_thread::sleep_until(due);
  }
  template <typename Done>
  bool RunUntil(Done done, int seconds = 20) {
    const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    while (!done()) {
      if (std::chrono::steady_clock::now() > limit) return false;
      Period();
    }
    return true;
  }
  bool RunFor(size_t frames) {
    const size_t end = left.size() + frames;
    return RunUntil([&] { return left.size() >= end; });
  }

  QORAPOProcessManager& manager;
  uint32_t in, out, rate;
  Signal signal;
  bool paced = true;
  std::vector<float> left{};
  std::vector<size_t> stalls{};  // where in left each stall began
  uint64_t allocations = 0;      // of the last period
  std::vector<float> input{}, output{};
  uint64_t n = 0;
  std::chrono::steady_clock::time_point due{}, last{};
};

class QORAPOProcessManagerChainTest : public ::testing::Test {
 protected:
  void SetUp() override { path_ = QORUtf8ToWide(root_.Path()) + L"/config/laptop.xml"; }

  qortest::TempStateRoot root_;
  std::wstring path_;
};

TEST_F(QORAPOProcessManagerChainTest, SetEndpointInfoLoadsTheFileAndConfigureChainBuildsTheMode) {
  const QORAPOEndpointInfo render = qortest::MakeEndpoint(true, path_, ReadExample());
  ModeManager manager;
  // The local-effect position reads the capture chain too.
  ASSERT_TRUE(manager.SetEndpointInfo(render, APO_FX_PreBlue));
  EXPECT_TRUE(manager.GetSideChainPipeFlag());
  manager.Initialize(2, 2, 48000, APO_FX_PreBlue);
  manager.StopWorker();  // attached again below, which the configuration thread does without one
  EXPECT_FALSE(manager.GetCurrentChain()->bypassed);
  // Override 1 bypasses, 2 processes; an unknown mode falls back to the default one.
  QORAPOProcessChain chain;
  for (const auto& [forced, unknownMode, bypassed] :
       {std::tuple{1, false, true}, std::tuple{2, false, false}, std::tuple{0, true, false}}) {
    manager.SetProcessingOverride(forced);
    manager.useMode = unknownMode;
    manager.mode = QORAPOModeIdentity("VAPO3-Nothing", "VAPO3-Speakers");
    manager.ConfigureChain(chain);
    EXPECT_TRUE(chain.constructed);
    EXPECT_EQ(chain.bypassed, bypassed) << forced;
    EXPECT_EQ(chain.GetAppliedMode().GetModeIdentity().GetMode().GetValueText(), "VAPO3-Music");
  }

  // A capture entry of tech id "Sidechain Pipe" counts only with that hook; a file without a
  // metering mode keeps the one set. The parsed files are cached by path: each case has its own.
  int file = 0;
  for (const auto& [process, linked] :
       {std::pair{"tech_id=\"Sidechain Pipe\"", false},
        std::pair{"tech_id=\"Sidechain Pipe\" hook=\"Sidechain Pipe\"", true},
        std::pair{"tech_id=\"NUV\" instance_id=\"C\"", true}}) {
    manager.SetMeteringMode(2);
    const std::string xml =
        "<qor_configuration><properties><control name=\"Product Name\">T</control></properties>"
        "<operating_mode><control name=\"VAPO3-Operating Mode\">VAPO3-Music</control><control "
        "name=\"VAPO3-Speaker Type\">VAPO3-Speakers</control><chain input=\"Any\" output=\"Any\">"
        "<process tech_id=\"NUV\" instance_id=\"N\"/></chain><chain type=\"capture\" input=\"Any\" "
        "output=\"Any\"><process " +
        std::string(process) + "/></chain></operating_mode></qor_configuration>";
    ASSERT_TRUE(manager.SetEndpointInfo(
        qortest::MakeEndpoint(true, path_ + std::to_wstring(++file), xml), APO_FX_PreBlue));
    EXPECT_EQ(manager.GetSideChainPipeFlag(), linked) << process;
    EXPECT_FALSE(manager.GetCaptureWatchFlag());
    EXPECT_EQ(manager.GetMeteringMode(), 2u);
  }

  // No file: false, and every chain bypasses.
  EXPECT_FALSE(
      manager.SetEndpointInfo(qortest::MakeEndpoint(true, path_ + L".none"), APO_FX_PreBlue));
  manager.Initialize(2, 2, 48000, APO_FX_PreBlue);
  EXPECT_EQ(manager.GetLatency(), 0);
  EXPECT_TRUE(manager.GetCurrentChain()->bypassed);
}

// Every chain the example builds at a position, and the bypass, deliver at the common latency, at
// layouts and rates that reach all its chains; `built` counts the chains built over all of them.
struct Alignment {
  const char* name;
  bool render;
  int32_t location;
  std::vector<std::array<uint32_t, 3>> cases;  // input channels, output channels, rate
  int built;
};

class QORAPOProcessManagerAlignmentTest : public QORAPOProcessManagerChainTest,
                                          public ::testing::WithParamInterface<Alignment> {};

TEST_P(QORAPOProcessManagerAlignmentTest, ExampleChainsAndTheBypassLineUpAtTheCommonLatency) {
  const Alignment& position = GetParam();
  ModeManager manager;
  ASSERT_TRUE(manager.SetEndpointInfo(qortest::MakeEndpoint(position.render, path_, ReadExample()),
                                      position.location));
  std::vector<QORAPOModeIdentity> modes;
  for (const auto& mode : manager.GetConfiguration().GetOperatingModes())
    modes.push_back(mode->GetModeIdentity());
  int built = 0;
  for (const auto& [in, out, rate] : position.cases) {
    // A burst of noise after 100 ms of silence, and room for it to come out 100 ms late.
    const size_t at = rate / 10, length = 2048;
    const std::vector<float> signal = Burst(at, length, rate / 10 + rate / 20);
    // On every input channel but a capture endpoint's second, the echo reference.
    const Signal burst = [&](uint64_t n, uint32_t c) {
      return n < signal.size() && (c == 0 || position.render) ? signal[n] : 0.0f;
    };
    // The first chain's measured delay is the one every other chain and the report must match.
    long first = -1;
    for (size_t m = 0; m <= modes.size(); ++m) {  // every mode, then the bypass
      const bool bypass = m == modes.size();
      manager.useMode = !bypass;
      if (!bypass) manager.mode = modes[m];
      manager.SetProcessingOverride(bypass ? 1 : 0);
      manager.Initialize(in, out, rate, position.render ? position.location : APO_FX_Capture);
      const QORAPOProcessChain& chain = *manager.GetCurrentChain();
      SCOPED_TRACE(testing::Message()
                   << in << "->" << out << " at " << rate << " Hz, "
                   << (bypass ? std::string("bypass")
                              : modes[m].GetText() + (chain.bypassed ? " (unbuilt)" : "")));
      built += chain.bypassed ? 0 : 1;
      Player player{manager, in, out, rate, burst, false};
      ASSERT_TRUE(player.RunFor(signal.size()));
      const long measured = qortest::BurstDelay(signal, player.left, at, length, rate / 10);
      if (first < 0) first = measured;
      // Within a frame: a resampler's delay is fractional.
      EXPECT_NEAR(measured, first, 1);
      EXPECT_NEAR(QORAPOProcessChain::FramesOf(manager.GetLatency(), rate), measured, 1);
      EXPECT_NEAR(chain.latency, measured, 1);
    }
  }
  EXPECT_EQ(built, position.built);
}

INSTANTIATE_TEST_SUITE_P(
    Positions, QORAPOProcessManagerAlignmentTest,
    testing::Values(
        Alignment{"Local", true, APO_FX_PreBlue, {{2, 2, 44100}, {6, 2, 96000}, {1, 2, 48000}}, 17},
        Alignment{"Stream", true, APO_FX_SFX, {{2, 2, 44100}, {6, 2, 96000}}, 10},
        Alignment{"Mode", true, APO_FX_MFX, {{1, 2, 96000}, {6, 2, 44100}}, 4},
        Alignment{"Endpoint", true, APO_FX_EFX, {{8, 8, 96000}, {2, 2, 44100}}, 6},
        Alignment{"OffloadStream", true, APO_FX_OSFX, {{2, 2, 96000}}, 1},
        Alignment{"OffloadMode", true, APO_FX_OMFX, {{6, 2, 48000}}, 1},
        // The echo canceller and noise suppressor at 16000 Hz, resampled from other rates.
        Alignment{"Mic", false, APO_FX_PreBlue, {{1, 1, 16000}, {2, 2, 44100}, {1, 1, 96000}}, 24}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(QORAPOProcessManagerChainTest, PeriodsAsLongAsTheEngineBuffersAllocateNothing) {
  // Music/Speakers, 5.1 in and stereo out, with the engine's buffers at 400 ms: a period of that
  // length, the first after the lock, runs in what the lock reserved, with and without resampling.
  const QORAPOEndpointInfo render = qortest::MakeEndpoint(true, path_, ReadExample());
  for (const uint32_t rate : {44100u, 48000u, 96000u}) {
    SCOPED_TRACE(rate);
    const uint32_t frames = rate * 2 / 5;
    ModeManager manager;
    ASSERT_TRUE(manager.SetEndpointInfo(render, APO_FX_PreBlue));
    manager.SetMaxPeriodFrames(frames);
    manager.Initialize(6, 2, rate, APO_FX_PreBlue);
    manager.StopWorker();
    ASSERT_FALSE(manager.GetCurrentChain()->bypassed);
    std::vector<float> input(static_cast<size_t>(frames) * 6);
    for (size_t i = 0; i < input.size(); ++i)
      input[i] = 0.1f * static_cast<float>(std::sin(0.01 * i));
    std::vector<float> output(static_cast<size_t>(frames) * 2);
    uint32_t inFrames = frames;
    uint32_t outFrames = frames;
    const qortest::AllocationScope scope;
    manager.Process(input.data(), &inFrames, output.data(), &outFrames, false);
    EXPECT_EQ(scope.Count(), 0u);
    EXPECT_EQ(outFrames, frames);
  }
}

TEST_F(QORAPOProcessManagerChainTest, RealChainSwitchesAllocateNothingAndSoundLikeNotSwitching) {
  // Music/Speakers, 5.1 in and stereo out (downmix, ZR3D, Speaker Protection) by two managers at
  // 48000 Hz, one switching to an equal chain that takes its state, and a third at 96000 Hz.
  const QORAPOEndpointInfo render = qortest::MakeEndpoint(true, path_, ReadExample());
  const auto noise = Noise(48000 * 2, 777);
  ModeManager managers[3];
  std::unique_ptr<Player> players[3];
  for (int k = 0; k < 3; ++k) {
    const uint32_t rate = k < 2 ? 48000 : 96000;
    ASSERT_TRUE(managers[k].SetEndpointInfo(render, APO_FX_PreBlue));
    managers[k].Initialize(6, 2, rate, APO_FX_PreBlue);
    managers[k].StopWorker();
    ASSERT_FALSE(managers[k].GetCurrentChain()->bypassed);
    ASSERT_EQ(managers[k].GetCurrentChain()->GetElementCount(), 3u);
    // A tone with noise, loud enough for the leveller and limiter to act.
    const Signal loud = [&, rate](uint64_t n, uint32_t c) {
      n = n * 48000 / rate;
      return 0.5f * static_cast<float>(std::sin(0.05 * n)) + (c % 2 ? -3.0f : 3.0f) * noise[n];
    };
    players[k].reset(new Player{managers[k], 6, 2, rate, loud, false});
    players[k]->left.reserve(200 * rate / 100);
  }
  EXPECT_EQ(managers[2].GetCurrentChain()->internalRate, 48000u);
  QORAPOProcessChain* first = managers[1].GetCurrentChain();
  std::unique_ptr<qortest::AllocationScope> scope;
  for (uint32_t p = 0; p < 200; ++p) {
    if (p == 2) scope = std::make_unique<qortest::AllocationScope>();
    for (int k = 1; k < 3 && p == 50; ++k) {
      ASSERT_TRUE(managers[k].SwitchChains(QORAPOProcessManager::kSwitchStateSwitching));
    }
    for (auto& player : players) player->Period();
  }
  EXPECT_EQ(scope->Count(), 0u);
  for (int k = 1; k < 3; ++k) {
    EXPECT_EQ(managers[k].GetSwitchState(), QORAPOProcessManager::kSwitchStateSteady);
  }
  EXPECT_NE(managers[1].GetCurrentChain(), first);
  float worst = 0.0f;
  for (size_t i = 0; i < players[0]->left.size(); ++i)
    worst = std::max(worst, std::fabs(players[0]->left[i] - players[1]->left[i]));
  EXPECT_LT(Db(std::max(worst, 1e-12f)), -100.0);
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
      const std::string control = value.GetShortName();
      if (value.GetIndex() != -1) process->SetControlInt(control.c_str(), value.GetIndex());
      if (value.GetIndex() == -1)
        process->SetControlString(control.c_str(), value.GetValueText().c_str());
    }
  }
  const uint32_t period = rate / 100;
  std::vector<float> planar(period * 2);
  TechChannel records[2] = {{planar.data(), 0, 0, nullptr},
                            {planar.data() + period, 1, 0, nullptr}};
  records[0].next = &records[1];
  std::vector<float> out;
  for (auto at = tone.begin(); at + period <= tone.end(); at += period) {
    std::copy_n(at, period, std::copy_n(at, period, planar.begin()));
    for (TechProcess* process : processes) process->Process(records, records, period, nullptr);
    out.insert(out.end(), planar.begin(), planar.begin() + period);
  }
  return out;
}

// Child: a control panel writing a public control of Music/Speakers `count` times as fast as it
// can, cycling through the values given. Args: configuration path, control, count, values.
int WritePublic(const std::vector<std::string>& args) {
  const std::shared_ptr<QORAPOOperatingMode> mode = FindMode(QORUtf8ToWide(args.at(0)));
  if (mode == nullptr) return 3;
  QORAPOPublicSettings settings;
  settings.Init(qortest::MakeEndpoint(true, QORUtf8ToWide(args[0])), *mode);
  for (int i = 0; i < std::stoi(args.at(2)); ++i) {
    if (!settings.WriteControl(QORUTSValue(args[1], args.at(3 + i % (args.size() - 3))))) return 5;
  }
  qortest::ChildSay("written");
  return 0;
}
qortest::ChildRegistration writePublic("write-public", WritePublic);

TEST_F(QORAPOProcessManagerChainTest, ControlsFromTheFileAndOtherProcessesReachTheSound) {
  // Music/Speakers lifts band 4 (250 Hz) by 3 dB. A control panel has switched the leveller off,
  // which would level the tone whatever the equaliser does. The chain entry sets band 9.
  std::string xml = ReadExample();
  const std::string protection = "instance_id=\"LFX_Protect\"/>";
  xml.insert(xml.find(protection) + protection.size(),
             "<control name=\"ZR3D-GEQ Band 9\">-250</control>");
  const QORAPOEndpointInfo render = qortest::MakeEndpoint(true, path_, xml);
  const std::shared_ptr<QORAPOOperatingMode> mode = FindMode(path_);
  ASSERT_NE(mode, nullptr);
  QORAPOPublicSettings panel;
  panel.Init(render, *mode);
  ASSERT_TRUE(panel.WriteControl(QORUTSValue("ZR3D-AmploHD Enable", "0"s)));
  // A tuning tool's block, in tuning mode 0 for now: the control panel's values win.
  QORAPOTunedSettings tool;
  ASSERT_TRUE(tool.Open(render, *mode, false));
  QORUTSValueList tuned;
  tuned.Set(QORUTSValue("ZR3D-GEQ Enable", "0"s));
  tuned.Set(QORUTSValue("ZR3D-AmploHD Enable", "0"s));  // the block holds all the mode's controls
  tuned.Set(QORUTSValue("ZR3D-GEQ Band 9", "777"s));
  tuned.Set(QORUTSValue(QORAPOTunedSettings::kTuningModeName, 0L));
  ASSERT_TRUE(tool.WriteControls(tuned));
  QORAPOProcessManager manager;
  ASSERT_TRUE(manager.SetEndpointInfo(render, APO_FX_PreBlue));
  manager.Initialize(2, 2, 48000, APO_FX_PreBlue);
  const uint32_t rate = 48000;
  const auto sent = [&](const char* value, const char* name = "ZR3D-GEQ Enable") {
    const QORUTSValue* control = manager.GetCurrentChain()->GetSentControls().Find(name);
    return control != nullptr && control->GetValueText() == value;
  };
  // The library's answer, equaliser on and off, measured in the last of four seconds of the tone.
  std::vector<float> tone(4 * rate);
  for (size_t i = 0; i < tone.size(); ++i) tone[i] = Sine(250.0, rate, {0.25f})(i, 0);
  QORUTSValueList controls = mode->GetControls();
  controls.Find("ZR3D-AmploHD Enable")->SetValueText("0");
  const double on = AmplitudeAt(BareMusicChain(controls, tone, rate), 3 * rate, 250.0, rate);
  controls.Find("ZR3D-GEQ Enable")->SetValueText("0");
  const double off = AmplitudeAt(BareMusicChain(controls, tone, rate), 3 * rate, 250.0, rate);
  EXPECT_NEAR(Db(on / off), 3.0, 0.5);  // the band's 300 hundredths of a dB

  // The chain from the file sounds like the library, measured on 20 whole cycles of the tone.
  Player player{manager, 2, 2, rate, Sine(250.0, rate, {0.25f, 0.25f})};
  const size_t measure = 3840;
  const auto level = [&] {
    return AmplitudeAt(player.left, player.left.size() - measure, 250.0, rate);
  };
  ASSERT_FALSE(manager.GetCurrentChain()->bypassed);
  ASSERT_TRUE(player.RunFor(3 * rate + measure));
  const double before = level();
  EXPECT_NEAR(Db(before / on), 0.0, 0.5);

  // Another process switches the equaliser off: heard within 100 ms, the common latency and 30 ms
  // of output after the period in which the write is visible.
  qortest::ChildProcess child;
  ASSERT_TRUE(child.Start("write-public", {QORWideToUtf8(path_), "ZR3D-GEQ Enable", "1", "0"}));
  ASSERT_TRUE(player.RunUntil([&] { return child.WaitFor("written", 5); }));
  EXPECT_EQ(child.Wait(), 0);
  const size_t visible = player.left.size();
  ASSERT_TRUE(player.RunFor(2 * rate));
  ASSERT_TRUE(sent("0"));
  const double after = level();
  EXPECT_NEAR(Db(before / after), 3.0, 0.5);
  EXPECT_NEAR(Db(after / off), 0.0, 0.5);
  // The first window of two cycles, ending at `heard`, whose level is the new gain's.
  size_t heard = visible + measure / 10;
  while (heard <= player.left.size() &&
         std::fabs(Db(AmplitudeAt(player.left, heard - measure / 10, 250.0, rate, heard) / after)) >
             0.5)
    heard += 8;
  const int64_t common = manager.GetLatency() * rate / 10000000;
  const int64_t budget = (100 + 30) * int64_t{rate} / 1000 + common;
  EXPECT_LE(static_cast<int64_t>(heard - visible), budget);

  // A thousand writes as fast as the child can: each rebuild at least 100 ms after the one before,
  // and the last value wins once the worker has caught up and the last switch has ended. A
  // rebuild is known only to lie between two looks at the count, so two of them may be closer
  // than 100 ms only if the earlier one's first possible time and the later one's last are.
  using Clock = std::chrono::steady_clock;
  std::vector<std::pair<Clock::time_point, Clock::time_point>> rebuilt;  // (after, by)
  uint32_t seen = manager.GetRebuildCount();
  Clock::time_point looked = Clock::now();
  const auto watch = [&] {
    const Clock::time_point now = Clock::now();
    for (const uint32_t count = manager.GetRebuildCount(); seen != count; ++seen) {
      rebuilt.emplace_back(looked, now);
    }
    looked = now;
  };
  ASSERT_TRUE(
      child.Start("write-public", {QORWideToUtf8(path_), "ZR3D-GEQ Enable", "1000", "0", "1"}));
  ASSERT_TRUE(player.RunUntil(
      [&] {
        watch();
        return child.WaitFor("written", 5);
      },
      60));
  EXPECT_EQ(child.Wait(), 0);
  ASSERT_TRUE(player.RunUntil([&] {
    watch();
    return sent("1") && manager.GetSwitchState() == 1 &&
           manager.GetWorkerPhase() == QORAPOProcessManager::kWorkerIdle;
  }));
  EXPECT_GE(rebuilt.size(), 1u);
  for (size_t i = 1; i < rebuilt.size(); ++i) {
    EXPECT_GE(rebuilt[i].second - rebuilt[i - 1].first, std::chrono::milliseconds(100)) << i;
  }

  // In tuning mode 2 the tuning tool's value wins over the control panel's, and is heard.
  ASSERT_TRUE(tool.WriteControl(QORUTSValue(QORAPOTunedSettings::kTuningModeName, 2L)));
  ASSERT_TRUE(player.RunUntil([&] { return sent("0") && manager.GetSwitchState() == 1; }));
  ASSERT_TRUE(player.RunFor(2 * rate));
  EXPECT_NEAR(Db(level() / after), 0.0, 0.5);
  EXPECT_TRUE(sent("-250", "ZR3D-GEQ Band 9"));  // the chain entry wins over every source

  // Through every switch, no whole period of zeros, no step over twice the steady tone's largest.
  // The flush after a stall (latency, 30 ms of silence, a rebuilt chain's fade) is not judged.
  const std::vector<float>& left = player.left;
  float steadyStep = 0.0f;
  for (size_t i = rate; i < 2 * rate; ++i)
    steadyStep = std::max(steadyStep, std::fabs(left[i] - left[i - 1]));
  size_t zeros = 0;
  for (size_t i = rate / 2; i < left.size(); ++i) {
    if (std::any_of(player.stalls.begin(), player.stalls.end(),
                    [&](size_t at) { return i + 480 >= at && i < at + 9600; })) {
      zeros = 0;
      continue;
    }
    zeros = left[i] == 0.0f ? zeros + 1 : 0;
    ASSERT_LT(zeros, 480u) << i;
    ASSERT_LE(std::fabs(left[i] - left[i - 1]), 2.0f * steadyStep) << i;
  }
}

// Child: a control panel reading both meters of the render endpoint whenever the parent says
// "read" (the input meter's eight levels, then the output meter's eight). On "hold" it takes the
// output meter's mutex until the next "read".
int ReadMeters(const std::vector<std::string>& /*args*/) {
  const QORAPOEndpointInfo endpoint = qortest::OpenEndpoint(true);
  QORAPOSharedMeter meters[2];
  if (!meters[0].OpenCreate(endpoint, 0) || !meters[1].OpenCreate(endpoint, 1)) return 3;
  std::unique_ptr<IQORNamedMutex> held;
  qortest::ChildSay("open");
  for (std::string line; qortest::ChildHear(line);) {
    if (line == "hold") {
      held = QORCreateNamedMutex(
          QORAPOSharedMeter::MutexName(QORAPOSharedMeter::MappingName(endpoint, 1)), false);
      if (held == nullptr || held->Wait(1000) != QORMutexWaitResult::kAcquired) return 4;
      qortest::ChildSay("held");
      continue;
    }
    if (line != "read" || (held != nullptr && !held->Release())) break;
    held.reset();
    std::ostringstream said;
    said << std::setprecision(9);
    for (QORAPOSharedMeter& meter : meters) {
      std::vector<float> levels;
      if (!meter.Update(levels, true)) return 5;  // busy
      for (float v : levels) said << v << ' ';
    }
    qortest::ChildSay(said.str());
  }
  return 0;
}
qortest::ChildRegistration readMeters("read-meters", ReadMeters);

std::vector<float> ReadLevels(qortest::ChildProcess& child) {
  std::vector<float> levels;
  std::string line;
  if (!child.SendLine("read") || !child.ReadLine(line, 10000)) return levels;
  std::istringstream said(line);
  for (float v = 0.0f; said >> v;) levels.push_back(v);
  return levels;
}

TEST_F(QORAPOProcessManagerChainTest, MetersReachAnotherProcessAndReadZeroOnceTaken) {
  QORAPOProcessManager manager;
  ASSERT_TRUE(
      manager.SetEndpointInfo(qortest::MakeEndpoint(true, path_, ReadExample()), APO_FX_PreBlue));
  // The file asks for both meters; the call is what a host's own setting would make.
  manager.SetMeteringMode(3);
  // Bypassed: the output carries the input's level once the common delay has filled.
  manager.SetProcessingOverride(1);
  manager.Initialize(2, 2, 48000, APO_FX_PreBlue);
  qortest::ChildProcess child;
  ASSERT_TRUE(child.Start("read-meters"));
  ASSERT_TRUE(child.WaitFor("open"));
  Player player{manager, 2, 2, 48000, Sine(1000.0, 48000, {0.5f, 0.25f}), false};
  ASSERT_TRUE(player.RunFor(100 * 480));
  std::vector<float> levels = ReadLevels(child);
  ASSERT_EQ(levels.size(), 16u);
  for (int meter = 0; meter < 2; ++meter) {
    EXPECT_NEAR(Db(levels[meter * 8] / 0.5), 0.0, 0.1) << meter;
    EXPECT_NEAR(Db(levels[meter * 8 + 1] / 0.25), 0.0, 0.1) << meter;
    for (int c = 2; c < 8; ++c) EXPECT_EQ(levels[meter * 8 + c], 0.0f) << meter << ' ' << c;
  }
  // The read took the levels: with no period since, both meters read zero.
  EXPECT_EQ(ReadLevels(child), std::vector<float>(16, 0.0f));

  // While the child holds the output meter's mutex, periods keep completing and their output
  // levels are dropped; the input meter goes on. The quieter tone flushes the common delay.
  ASSERT_TRUE(child.SendLine("hold"));
  ASSERT_TRUE(child.WaitFor("held"));
  const auto begin = std::chrono::steady_clock::now();
  player.signal = Sine(1000.0, 48000, {0.9f, 0.9f});
  ASSERT_TRUE(player.RunFor(200 * 480));
  player.signal = Sine(1000.0, 48000, {0.5f, 0.25f});
  ASSERT_TRUE(player.RunFor(100 * 480));
  // 300 periods of 10 ms of audio; periods that waited for the mutex would take far longer.
  EXPECT_LT(std::chrono::steady_clock::now() - begin, std::chrono::milliseconds(3000));
  levels = ReadLevels(child);  // released first
  ASSERT_EQ(levels.size(), 16u);
  for (int c = 0; c < 2; ++c) EXPECT_NEAR(Db(levels[c] / 0.9), 0.0, 0.1) << c;
  for (int c = 8; c < 16; ++c) EXPECT_EQ(levels[c], 0.0f) << c;
  ASSERT_TRUE(child.SendLine("end"));
  EXPECT_EQ(child.Wait(), 0);
}

// Child: a capture-side manager streaming a 1 kHz tone of amplitude 0.5 at 48000 Hz in real time
// until the parent says "stop"; then it says the allocations its steady periods made.
int CaptureStream(const std::vector<std::string>& /*args*/) {
  ModeManager manager;
  manager.useMode = true;
  manager.mode = QORAPOModeIdentity("VAPO3-Communication", "VAPO3-Speakers");
  if (!manager.SetEndpointInfo(qortest::OpenEndpoint(false), 0)) return 3;
  if (!manager.GetSideChainPipeFlag()) return 4;
  // Bypassed, the chain hands the microphone's own signal to the pipe.
  manager.SetProcessingOverride(1);
  manager.Initialize(1, 1, 48000, APO_FX_Capture);
  std::atomic<bool> stop{false};
  std::thread listener([&] {
    for (std::string line; qortest::ChildHear(line) && line != "stop";) {
    }
    stop.store(true);
  });
  Player player{manager, 1, 1, 48000, Sine(1000.0, 48000, {0.5f})};
  uint64_t periods = 0;
  uint64_t allocations = 0;
  qortest::ChildSay("streaming");
  // Counted from the 101st period on.
  player.RunUntil(
      [&] { return (allocations += ++periods > 101 ? player.allocations : 0), stop.load(); }, 60);
  listener.join();
  qortest::ChildSay("allocations " + std::to_string(allocations));
  return 0;
}
qortest::ChildRegistration captureStream("capture-stream", CaptureStream);

TEST_F(QORAPOProcessManagerChainTest, MicrophoneToneReachesRenderSideChainsWithoutAllocating) {
  // No automatic microphone modes: they would move the render side to a mode without a listener.
  std::string xml = ReadExample();
  for (size_t at; (at = xml.find(" auto_mic=\"true\"")) != std::string::npos;) xml.erase(at, 16);
  const QORAPOEndpointInfo render = qortest::MakeEndpoint(true, path_, xml);
  qortest::MakeEndpoint(false, path_);
  // Two metering instances at their own rates; the voice mode's clarity process listens.
  struct Listener {
    ModeManager manager;
    std::unique_ptr<Player> player;
    size_t firstSound = SIZE_MAX;
    uint64_t steadyAllocations = 0;
    bool done = false;
  } listeners[2];
  for (uint32_t rate : {44100u, 48000u}) {
    ModeManager& manager = listeners[rate / 48000].manager;
    manager.useMode = true;
    manager.mode = QORAPOModeIdentity("VAPO3-Voice", "VAPO3-Speakers");
    ASSERT_TRUE(manager.SetEndpointInfo(render, APO_FX_PreBlue));
    ASSERT_TRUE(manager.GetSideChainPipeFlag());
    ASSERT_EQ(manager.GetMeteringMode(), 3u);
    manager.Initialize(2, 2, rate, APO_FX_PreBlue);
    ASSERT_FALSE(manager.GetCurrentChain()->bypassed);
    listeners[rate / 48000].player =
        std::unique_ptr<Player>(new Player{manager, 2, 2, rate, Sine(440.0, rate, {0.1f, 0.1f})});
  }
  qortest::ChildProcess child;
  ASSERT_TRUE(child.Start("capture-stream"));
  ASSERT_TRUE(child.WaitFor("streaming"));
  const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (std::chrono::steady_clock::now() < limit && !(listeners[0].done && listeners[1].done)) {
    for (Listener& listener : listeners) {
      const std::vector<float>& received = listener.manager.received;
      const size_t before = received.size();
      listener.player->Period();
      for (size_t i = before; i < received.size() && listener.firstSound == SIZE_MAX; ++i) {
        if (std::fabs(received[i]) > 0.01f) listener.firstSound = i;
      }
      // From half a second of sound on, when the stream's converter is set up.
      if (listener.firstSound != SIZE_MAX && !listener.done &&
          received.size() > listener.firstSound + 24000) {
        listener.steadyAllocations += listener.player->allocations;
        listener.done = received.size() > listener.firstSound + 24000 + 96000;
      }
    }
  }
  ASSERT_TRUE(child.SendLine("stop"));
  std::string said;
  ASSERT_TRUE(child.ReadLine(said));
  EXPECT_EQ(child.Wait(), 0);
  EXPECT_EQ(said, "allocations 0") << "capture side";

  for (const Listener& listener : listeners) {
    const ModeManager& manager = listener.manager;
    const double rate = manager.rate.load();
    ASSERT_NE(listener.firstSound, SIZE_MAX) << rate << ": no side-chain sound within 30 s";
    EXPECT_EQ(listener.steadyAllocations, 0u) << rate;
    EXPECT_EQ(manager.role.load(), kQORChannelRoleSideChain);
    // The last two seconds, period by period. Where the processes drift apart, the reader pads or
    // drops samples by design: a period holding such a step is no clean sine and is skipped. Every
    // intact period must carry the tone; a wrong rate or gain moves them all.
    const size_t period = static_cast<size_t>(rate) / 100;
    ASSERT_GE(manager.received.size(), listener.firstSound + 24000 + 200 * period);
    int intact = 0;
    for (size_t from = (manager.received.size() / period - 200) * period;
         from + period <= manager.received.size(); from += period) {
      const ToneFit fit = FitTone(manager.received, from, period, rate);
      if (fit.residual > 1e-3) continue;
      ++intact;
      EXPECT_NEAR(fit.frequency, 1000.0, 1.0) << rate << " at " << from;
      EXPECT_NEAR(Db(fit.amplitude / 0.5), 0.0, 0.5) << rate << " at " << from;
    }
    EXPECT_GE(intact, 20) << rate;
  }
}

HRESULT SetSysFx(const GUID& endpoint, uint32_t disabled) {
  PROPVARIANT value;
  InitPropVariantFromUInt32(disabled, &value);
  return QOREndpointStore::SetProperty(eRender, endpoint, PKEY_AudioEndpoint_Disable_SysFx, value);
}

QORComPtr<IPropertyStore> StoreOf(const GUID& endpoint) {
  QORComPtr<IMMDevice> device;
  QORMMDevice::Create(eRender, endpoint, device.Put());
  QORComPtr<IPropertyStore> store;
  device->OpenPropertyStore(STGM_READ, store.Put());
  return store;
}

// Whether the worker has nothing left to do and no switch runs.
bool Settled(QORAPOProcessManager& manager) {
  return manager.GetWorkerPhase() == QORAPOProcessManager::kWorkerIdle &&
         manager.GetSwitchState() == QORAPOProcessManager::kSwitchStateSteady;
}

TEST_F(QORAPOProcessManagerChainTest, AttachesByTheStoresGuidAndFollowsTheSwitchesWhilePlaying) {
  const QORAPOEndpointInfo render = qortest::MakeEndpoint(true, path_, ReadExample());
  const GUID id = qortest::EndpointId(true);
  QORAPOProcessManager manager;

  // A store without a GUID.
  QORComPtr<IPropertyStore> empty;
  ASSERT_EQ(S_OK, QORRegistryPropertyStore::Create(QORRegistryKey(), false, empty.Put()));
  EXPECT_FALSE(manager.SetEndpoint(nullptr, empty.Get(), APO_FX_PreBlue));
  EXPECT_EQ(manager.GetPropertyStore(), nullptr);

  // Effects already off when the engine attaches: the first chains bypass, despite override 2.
  ASSERT_EQ(S_OK, SetSysFx(id, 1));
  const QORComPtr<IPropertyStore> store = StoreOf(id);
  ASSERT_TRUE(manager.SetEndpoint(render.GetDevice(), store.Get(), APO_FX_PreBlue));
  EXPECT_EQ(manager.GetPropertyStore(), store.Get());
  manager.SetProcessingOverride(2);
  manager.Initialize(2, 2, 48000, APO_FX_PreBlue);
  ASSERT_TRUE(manager.GetCurrentChain()->constructed);
  EXPECT_TRUE(manager.GetCurrentChain()->bypassed);

  // Each change of the switch rebuilds, and the chain switched to follows its low 16 bits.
  Player player{manager, 2, 2, 48000, Sine(1000.0, 48000, {0.1f, 0.1f})};
  for (const uint32_t disabled : {0u, 1u, 0x10001u, 0x10000u}) {
    const uint32_t before = manager.GetRebuildCount();
    ASSERT_EQ(S_OK, SetSysFx(id, disabled));
    ASSERT_TRUE(player.RunUntil([&] {
      return manager.GetRebuildCount() > before && Settled(manager);
    })) << disabled;
    EXPECT_EQ(manager.GetCurrentChain()->bypassed, (disabled & 0xFFFF) == 1) << disabled;
  }

  // Without the override, "VAPO3-Process Enable" switched off while playing fades to the bypass.
  manager.SetProcessingOverride(0);
  QORAPOGlobalSettings global;
  ASSERT_TRUE(global.InitGlobal(render));
  ASSERT_TRUE(global.WriteControl(QORUTSValue(QORAPOGlobalSettings::kProcessEnable, "0"s)));
  bool faded = false;
  ASSERT_TRUE(player.RunUntil([&] {
    faded = faded || manager.GetSwitchState() == QORAPOProcessManager::kSwitchStateSwitching;
    return manager.GetCurrentChain()->bypassed && Settled(manager);
  }));
  EXPECT_TRUE(faded);

  // A failed attach lets go of what the previous one held.
  EXPECT_FALSE(manager.SetEndpoint(nullptr, empty.Get(), APO_FX_PreBlue));
  EXPECT_EQ(manager.GetPropertyStore(), nullptr);
  EXPECT_EQ(manager.GetEndpointDevice(), nullptr);
}

TEST_F(QORAPOProcessManagerChainTest, PositionsOfOneEndpointEachReportTheirOwnDelay) {
  // One endpoint, one state root: each position builds its own chains and caches its own latency,
  // whichever position computed first. Its output is delayed by exactly what it reports.
  const QORAPOEndpointInfo render = qortest::MakeEndpoint(true, path_, ReadExample());
  std::vector<long> reported;
  for (const int32_t location : {APO_FX_SFX, APO_FX_MFX, APO_FX_EFX, APO_FX_SFX}) {
    SCOPED_TRACE(location);
    ModeManager manager;
    ASSERT_TRUE(manager.SetEndpointInfo(render, location));
    manager.Initialize(2, 2, 48000, location);
    const long expected = QORAPOProcessChain::FramesOf(manager.GetLatency(), 48000);
    reported.push_back(expected);
    const size_t at = 4800, length = 2048;
    const std::vector<float> signal = Burst(at, length, 4800 + 4800);
    const Signal burst = [&](uint64_t n, uint32_t) { return n < signal.size() ? signal[n] : 0.0f; };
    Player player{manager, 2, 2, 48000, burst, false};
    ASSERT_TRUE(player.RunFor(signal.size()));
    // Searched up to 100 ms whatever the report says.
    EXPECT_EQ(qortest::BurstDelay(signal, player.left, at, length, 4800), expected);
  }
  // The example's positions do differ, or the test would prove nothing; the second SFX manager
  // reads the cache the first wrote.
  EXPECT_NE(reported[0], reported[2]);
  EXPECT_EQ(reported[0], reported[3]);
}

TEST_F(QORAPOProcessManagerChainTest, SetEndpointInfoWaitsForTheWorkerAndRestartsIt) {
  // Attaching again while the worker rebuilds: the worker is stopped around it (ThreadSanitizer
  // sees no race) and runs again after it.
  const QORAPOEndpointInfo render = qortest::MakeEndpoint(true, path_, ReadExample());
  ModeManager manager;
  ASSERT_TRUE(manager.SetEndpointInfo(render, APO_FX_SFX));
  manager.Initialize(2, 2, 48000, APO_FX_SFX);
  for (int i = 0; i < 4; ++i) {
    manager.SignalChange();
    EXPECT_TRUE(manager.SetEndpointInfo(render, i % 2 == 0 ? APO_FX_MFX : APO_FX_SFX));
  }
  const uint32_t before = manager.GetRebuildCount();
  Player player{manager, 2, 2, 48000, Sine(1000.0, 48000, {0.1f, 0.1f}), false};
  manager.SignalChange();
  EXPECT_TRUE(player.RunUntil([&] { return manager.GetRebuildCount() > before; }));
}

}  // namespace
