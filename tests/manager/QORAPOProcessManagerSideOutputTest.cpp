#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstring>
#include <fstream>
#include <iomanip>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "AllocationCounter.h"
#include "ChildProcess.h"
#include "TempStateRoot.h"
#include "TestEndpoint.h"
#include "common/QORTextConvert.h"
#include "ipc/QORAPOSharedMeter.h"
#include "manager/QORAPOProcessManager.h"
#include "platform/IQORNamedMutex.h"
#include "platform/QOREndpointStore.h"
#include "platform/QORRegistryKey.h"

namespace {

constexpr double kPi = 3.14159265358979323846;

std::string ReadExample() {
  std::ifstream file(QOR_EXAMPLE_CONFIGURATION);
  std::stringstream text;
  text << file.rdbuf();
  return text.str();
}

double Db(double ratio) {
  return 20.0 * std::log10(ratio);
}

// Fills interleaved periods with a sine per channel; the phase offset keeps samples off the crest.
class Tone {
 public:
  Tone(double frequency, uint32_t rate) : step_(2.0 * kPi * frequency / rate) {}
  void Fill(std::vector<float>& buffer, uint32_t channels, const std::vector<float>& amplitudes) {
    for (size_t f = 0; f < buffer.size() / channels; ++f, ++n_) {
      const double s = std::sin(step_ * static_cast<double>(n_) + 0.3);
      for (uint32_t c = 0; c < channels; ++c)
        buffer[f * channels + c] = static_cast<float>(amplitudes[c] * s);
    }
  }

 private:
  double step_;
  uint64_t n_ = 0;
};

// A manager whose mode the test chooses, as a mode selector would.
class ModeManager : public QORAPOProcessManager {
 public:
  explicit ModeManager(const QORAPOModeIdentity& mode) : mode_(mode) {}
  ~ModeManager() override { StopThreads(); }
  QORAPOModeIdentity CurrentModeIdentity() override { return mode_; }

 private:
  QORAPOModeIdentity mode_;
};

// Keeps what the manager hands a chain on the side-chain channel, in storage sized beforehand so
// that recording allocates nothing in the period.
class RecordingManager : public ModeManager {
 public:
  explicit RecordingManager(const QORAPOModeIdentity& mode) : ModeManager(mode) {
    received.reserve(48000 * 30);
  }
  // The threads stop before the base's destructor changes what they would call.
  ~RecordingManager() override { StopThreads(); }
  void OnPipeData(bool receive, IQORAudioData<float>& data) override {
    QORAPOProcessManager::OnPipeData(receive, data);
    if (!receive) return;
    rate.store(data.GetSampleRate());
    role.store(data.GetChannelMapEntry(0));
    const float* samples = data.GetSamples(false, false);
    const uint32_t frames = data.GetFrameCount();
    for (uint32_t f = 0; f < frames && received.size() < received.capacity(); ++f)
      received.push_back(samples[f]);
    data.ReleaseSamples();
  }
  std::vector<float> received;
  std::atomic<uint32_t> rate{0};
  std::atomic<uint32_t> role{0};
};

class QORAPOProcessManagerSideOutputTest : public ::testing::Test {
 protected:
  void SetUp() override { path_ = QORUtf8ToWide(root_.Path()) + L"/config/laptop.xml"; }

  qortest::TempStateRoot root_;
  std::wstring path_;
};

TEST_F(QORAPOProcessManagerSideOutputTest, ConstructionGivesEndpointsTheirFxKeyWhenTheMakerAsks) {
  qortest::MakeEndpoint(true, path_, ReadExample());
  const std::wstring fxPath =
      QOREndpointStore::EndpointKeyPath(eRender, qortest::EndpointId(true)) + L"\\FxProperties";
  QORRegistryKey fx;
  { QORAPOProcessManager manager; }
  EXPECT_NE(ERROR_SUCCESS,
            QORRegistryKey::Open(QORRegistryHive::kLocalMachine, fxPath, KEY_READ, fx));
  QORRegistryKey maker;
  ASSERT_EQ(ERROR_SUCCESS,
            QORRegistryKey::Create(QORRegistryHive::kLocalMachine, L"Software\\QOR Labs\\APO",
                                   KEY_ALL_ACCESS, maker));
  ASSERT_EQ(ERROR_SUCCESS, maker.SetDword(L"InitFxProperties", 1));
  { QORAPOProcessManager manager; }
  EXPECT_EQ(ERROR_SUCCESS,
            QORRegistryKey::Open(QORRegistryHive::kLocalMachine, fxPath, KEY_READ, fx));
}

// Child: a control panel reading both meters of the render endpoint whenever the parent says
// "read" ("ok" or "busy", then the input meter's eight levels and the output meter's eight). On
// "hold" it takes the output meter's mutex until "release".
int ReadMeters(const std::vector<std::string>& /*args*/) {
  const QORAPOEndpointInfo endpoint = qortest::OpenEndpoint(true);
  QORAPOSharedMeter input;
  QORAPOSharedMeter output;
  if (!input.OpenCreate(endpoint, 0) || !output.OpenCreate(endpoint, 1)) return 3;
  std::unique_ptr<IQORNamedMutex> held;
  qortest::ChildSay("open");
  std::string line;
  while (qortest::ChildHear(line)) {
    if (line == "read") {
      std::vector<float> in;
      std::vector<float> out;
      const bool ok = input.Update(in, true) && output.Update(out, true);
      std::ostringstream said;
      said << (ok ? "ok" : "busy") << std::setprecision(9);
      for (float v : in) said << ' ' << v;
      for (float v : out) said << ' ' << v;
      qortest::ChildSay(said.str());
    } else if (line == "hold") {
      held = QORCreateNamedMutex(
          QORAPOSharedMeter::MutexName(QORAPOSharedMeter::MappingName(endpoint, 1)), false);
      if (held == nullptr || held->Wait(1000) != QORMutexWaitResult::kAcquired) return 4;
      qortest::ChildSay("held");
    } else if (line == "release") {
      if (held == nullptr || !held->Release()) return 5;
      held.reset();
      qortest::ChildSay("released");
    } else {
      break;
    }
  }
  return 0;
}
qortest::ChildRegistration readMeters("read-meters", ReadMeters);

std::vector<float> ReadLevels(qortest::ChildProcess& child) {
  std::vector<float> levels;
  if (!child.SendLine("read")) return levels;
  std::string line;
  if (!child.ReadLine(line, 10000)) return levels;
  std::istringstream said(line);
  std::string status;
  said >> status;
  if (status != "ok") return levels;
  float v = 0.0f;
  while (said >> v) levels.push_back(v);
  return levels;
}

TEST_F(QORAPOProcessManagerSideOutputTest, MetersReachAnotherProcessAndReadZeroOnceTaken) {
  const QORAPOEndpointInfo render = qortest::MakeEndpoint(true, path_, ReadExample());
  QORAPOProcessManager manager;
  ASSERT_TRUE(manager.SetEndpointInfo(render, APO_FX_PreBlue));
  // The file asks for both meters; the call is what a host's own setting would make.
  manager.SetMeteringMode(3);
  // Bypassed: the output carries the input's level once the common delay has filled.
  manager.SetProcessingOverride(1);
  manager.Initialize(2, 2, 48000, APO_FX_PreBlue);

  qortest::ChildProcess child;
  ASSERT_TRUE(child.Start("read-meters"));
  ASSERT_TRUE(child.WaitFor("open"));

  const uint32_t period = 480;
  std::vector<float> in(period * 2);
  std::vector<float> out(period * 2);
  Tone tone(1000.0, 48000);
  auto run = [&](int periods, const std::vector<float>& amplitudes) {
    for (int i = 0; i < periods; ++i) {
      tone.Fill(in, 2, amplitudes);
      uint32_t frames = period;
      uint32_t outFrames = period;
      manager.Process(in.data(), &frames, out.data(), &outFrames, false);
    }
  };
  run(100, {0.5f, 0.25f});
  std::vector<float> levels = ReadLevels(child);
  ASSERT_EQ(levels.size(), 16u);
  for (int meter = 0; meter < 2; ++meter) {
    EXPECT_NEAR(Db(levels[meter * 8] / 0.5), 0.0, 0.1) << meter;
    EXPECT_NEAR(Db(levels[meter * 8 + 1] / 0.25), 0.0, 0.1) << meter;
    for (int c = 2; c < 8; ++c) EXPECT_EQ(levels[meter * 8 + c], 0.0f) << meter << ' ' << c;
  }
  // The read took the levels: with no period since, both meters read zero.
  levels = ReadLevels(child);
  ASSERT_EQ(levels.size(), 16u);
  for (float v : levels) EXPECT_EQ(v, 0.0f);

  // While the child holds the output meter's mutex, the periods keep completing and their output
  // levels are dropped; the input meter goes on. The quieter tone at the end of the hold also
  // carries the louder one out of the common delay.
  ASSERT_TRUE(child.SendLine("hold"));
  ASSERT_TRUE(child.WaitFor("held"));
  const auto begin = std::chrono::steady_clock::now();
  run(200, {0.9f, 0.9f});
  run(100, {0.5f, 0.25f});
  const auto heldMs = std::chrono::duration_cast<std::chrono::milliseconds>(
                          std::chrono::steady_clock::now() - begin)
                          .count();
  // 300 periods of 10 ms of audio; periods that waited for the mutex would take far longer.
  EXPECT_LT(heldMs, 3000);
  ASSERT_TRUE(child.SendLine("release"));
  ASSERT_TRUE(child.WaitFor("released"));
  levels = ReadLevels(child);
  ASSERT_EQ(levels.size(), 16u);
  EXPECT_NEAR(Db(levels[0] / 0.9), 0.0, 0.1);
  EXPECT_NEAR(Db(levels[1] / 0.9), 0.0, 0.1);
  for (int c = 8; c < 16; ++c) EXPECT_EQ(levels[c], 0.0f) << c;
  // Released: the output meter takes the levels again.
  run(20, {0.5f, 0.25f});
  levels = ReadLevels(child);
  ASSERT_EQ(levels.size(), 16u);
  EXPECT_NEAR(Db(levels[8] / 0.5), 0.0, 0.1);
  EXPECT_NEAR(Db(levels[9] / 0.25), 0.0, 0.1);
  ASSERT_TRUE(child.SendLine("end"));
  EXPECT_EQ(child.Wait(), 0);
}

// Child: a capture-side manager streaming a 1 kHz tone of amplitude 0.5 at 48000 Hz in real time
// until the parent says "stop"; then it says the allocations its steady periods made.
int CaptureStream(const std::vector<std::string>& /*args*/) {
  const QORAPOEndpointInfo capture = qortest::OpenEndpoint(false);
  ModeManager manager(QORAPOModeIdentity("VAPO3-Communication", "VAPO3-Speakers"));
  if (!manager.SetEndpointInfo(capture, 0)) return 3;
  if (!manager.GetSideChainPipeFlag()) return 4;
  // Bypassed, the chain hands the microphone's own signal to the pipe.
  manager.SetProcessingOverride(1);
  manager.Initialize(1, 1, 48000, APO_FX_Capture);
  std::atomic<bool> stop{false};
  std::thread listener([&] {
    std::string line;
    while (qortest::ChildHear(line) && line != "stop") {
    }
    stop.store(true);
  });
  const uint32_t period = 480;
  std::vector<float> in(period);
  std::vector<float> out(period);
  Tone tone(1000.0, 48000);
  const auto start = std::chrono::steady_clock::now();
  uint64_t allocations = 0;
  qortest::ChildSay("streaming");
  for (uint64_t n = 0; !stop.load() && n < 6000; ++n) {
    tone.Fill(in, 1, {0.5f});
    uint32_t frames = period;
    uint32_t outFrames = period;
    const qortest::AllocationScope scope;
    manager.Process(in.data(), &frames, out.data(), &outFrames, false);
    if (n >= 100) allocations += scope.Count();
    std::this_thread::sleep_until(start + std::chrono::milliseconds(10 * (n + 1)));
  }
  listener.join();
  qortest::ChildSay("allocations " + std::to_string(allocations));
  return 0;
}
qortest::ChildRegistration captureStream("capture-stream", CaptureStream);

// Power of x at frequency f (Hz) for samples at rate.
double Power(const std::vector<float>& x, size_t from, size_t count, double f, double rate) {
  double re = 0.0;
  double im = 0.0;
  for (size_t i = 0; i < count; ++i) {
    const double phase = 2.0 * kPi * f * static_cast<double>(i) / rate;
    re += x[from + i] * std::cos(phase);
    im += x[from + i] * std::sin(phase);
  }
  return re * re + im * im;
}

// One render instance at its own rate, listening to the side chain.
struct Listener {
  explicit Listener(uint32_t rate)
      : rate(rate), manager(QORAPOModeIdentity("VAPO3-Voice", "VAPO3-Speakers")) {}
  uint32_t rate;
  RecordingManager manager;
  size_t firstSound = 0;
  bool heard = false;
  uint64_t steadyAllocations = 0;
  uint32_t counted = 0;
  bool done = false;
};

TEST_F(QORAPOProcessManagerSideOutputTest, MicrophoneToneReachesRenderSideChainsWithoutAllocating) {
  // Without the automatic microphone modes: a running capture instance would otherwise move the
  // render side to a communication mode, which has no render chain to listen.
  std::string xml = ReadExample();
  for (size_t at; (at = xml.find(" auto_mic=\"true\"")) != std::string::npos;)
    xml.erase(at, std::strlen(" auto_mic=\"true\""));
  const QORAPOEndpointInfo render = qortest::MakeEndpoint(true, path_, xml);
  qortest::MakeEndpoint(false, path_);
  // Two instances at their own rates; the voice mode's clarity process listens to the side chain.
  std::vector<std::unique_ptr<Listener>> listeners;
  for (uint32_t rate : {44100u, 48000u}) {
    listeners.push_back(std::make_unique<Listener>(rate));
    RecordingManager& manager = listeners.back()->manager;
    ASSERT_TRUE(manager.SetEndpointInfo(render, APO_FX_PreBlue));
    ASSERT_TRUE(manager.GetSideChainPipeFlag());
    ASSERT_EQ(manager.GetMeteringMode(), 3u);
    manager.Initialize(2, 2, rate, APO_FX_PreBlue);
    ASSERT_FALSE(manager.GetCurrentChain()->bypassed);
  }

  qortest::ChildProcess child;
  ASSERT_TRUE(child.Start("capture-stream"));
  ASSERT_TRUE(child.WaitFor("streaming"));

  std::vector<float> in(441 * 2 + 39 * 2);
  std::vector<float> out(in.size());
  const auto start = std::chrono::steady_clock::now();
  const auto limit = start + std::chrono::seconds(30);
  for (uint64_t n = 0; std::chrono::steady_clock::now() < limit; ++n) {
    bool all = true;
    for (auto& listener : listeners) {
      const uint32_t period = listener->rate / 100;
      RecordingManager& manager = listener->manager;
      for (uint32_t f = 0; f < period; ++f) {
        in[2 * f] = in[2 * f + 1] =
            0.1f *
            static_cast<float>(std::sin(2.0 * kPi * 440.0 * (n * period + f) / listener->rate));
      }
      uint32_t frames = period;
      uint32_t outFrames = period;
      const size_t before = manager.received.size();
      const qortest::AllocationScope scope;
      manager.Process(in.data(), &frames, out.data(), &outFrames, false);
      const uint64_t made = scope.Count();
      if (!listener->heard) {
        for (size_t i = before; i < manager.received.size() && !listener->heard; ++i) {
          if (std::fabs(manager.received[i]) > 0.01f) {
            listener->heard = true;
            listener->firstSound = i;
          }
        }
      } else if (!listener->done && manager.received.size() > listener->firstSound + 24000) {
        // Half a second of sound in: the stream's converter is set up.
        listener->steadyAllocations += made;
        ++listener->counted;
        listener->done = manager.received.size() > listener->firstSound + 24000 + 96000;
      }
      all = all && listener->done;
    }
    if (all) break;
    std::this_thread::sleep_until(start + std::chrono::milliseconds(10 * (n + 1)));
  }
  ASSERT_TRUE(child.SendLine("stop"));
  std::string said;
  ASSERT_TRUE(child.ReadLine(said));
  EXPECT_EQ(child.Wait(), 0);
  EXPECT_EQ(said, "allocations 0") << "capture side";

  for (auto& listener : listeners) {
    RecordingManager& manager = listener->manager;
    ASSERT_TRUE(listener->heard) << listener->rate << ": no side-chain sound within 30 s";
    EXPECT_GT(listener->counted, 150u) << listener->rate;
    EXPECT_EQ(listener->steadyAllocations, 0u) << listener->rate;
    EXPECT_EQ(manager.role.load(), kQORChannelRoleSideChain);
    // The last second: frequency by the strongest bin of a 0.01 Hz scan, level by its RMS.
    const double rate = manager.rate.load();
    ASSERT_GT(rate, 0.0);
    const size_t count = static_cast<size_t>(rate);
    ASSERT_GE(manager.received.size(), listener->firstSound + 24000 + count);
    const size_t from = manager.received.size() - count;
    double best = 0.0;
    double bestPower = -1.0;
    for (double f = 990.0; f <= 1010.0; f += 0.01) {
      const double p = Power(manager.received, from, count, f, rate);
      if (p > bestPower) {
        bestPower = p;
        best = f;
      }
    }
    EXPECT_NEAR(best, 1000.0, 1.0) << listener->rate;
    double sum = 0.0;
    for (size_t i = from; i < from + count; ++i) sum += manager.received[i] * manager.received[i];
    const double amplitude = std::sqrt(2.0 * sum / static_cast<double>(count));
    EXPECT_NEAR(Db(amplitude / 0.5), 0.0, 0.5) << listener->rate;
    std::printf("instance at %u Hz, side chain at %.0f Hz: %.3f Hz, %.3f dB, after %.0f ms\n",
                listener->rate, rate, best, Db(amplitude / 0.5),
                1000.0 * listener->firstSound / rate);
  }
}

}  // namespace
