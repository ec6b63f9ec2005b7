#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <map>
#include <mutex>
#include <thread>
#include <vector>

#include "AllocationCounter.h"
#include "TraceCapture.h"
#include "manager/QORAPOProcessManager.h"
#include "platform/QORPerformanceCounter.h"

namespace {

constexpr int64_t kTicksPerMs = 10000;  // 10 MHz

class FakeCounter : public IQORCounterSource {
 public:
  FakeCounter() { QORPerformanceCounter::SetSourceForTesting(this); }
  ~FakeCounter() override { QORPerformanceCounter::SetSourceForTesting(nullptr); }
  bool Query(int64_t* counter) override {
    *counter = now.load();
    return true;
  }
  bool Frequency(int64_t* ticksPerSecond) override {
    *ticksPerSecond = 10000000;
    return true;
  }
  void AdvanceMs(int64_t ms) { now += ms * kTicksPerMs; }
  std::atomic<int64_t> now{0x7FFFFF00};  // near a 32-bit wrap of the low part
};

// Multiplies by a gain and records the length of every period it sees, and the first sample.
class GainProcess : public IQORAudioProcess<float> {
 public:
  explicit GainProcess(float gain) : gain_(gain) {}
  bool Init(uint32_t, uint32_t) override { return true; }
  void EnableBypass(bool) override {}
  bool IsBypassed() const override { return false; }
  uint32_t GetLatency() const override { return 0; }
  void Process(IQORAudioData<float>& data) override {
    float* s = data.GetSamples(true, true);
    if (periods.size() < periods.capacity()) {
      periods.push_back(data.GetFrameCount());
      firstSamples.push_back(s != nullptr ? s[0] : 0.0f);
    }
    for (uint32_t i = 0; s != nullptr && i < data.GetFrameCount() * data.GetChannelCount(); ++i) {
      s[i] *= gain_;
    }
  }
  std::vector<uint32_t> periods;
  std::vector<float> firstSamples;
  void Reserve() {
    periods.reserve(64);
    firstSamples.reserve(64);
  }

 private:
  float gain_;
};

// A manager whose chains run test processes: the chain configured first (the initial current
// chain) gains by 1, the second (the initial standby) by 10, the third by 100.
class TestManager : public QORAPOProcessManager {
 public:
  TestManager() {
    for (auto* p : {&a, &b, &c}) p->Reserve();
  }
  ~TestManager() override { StopThreads(); }

  void ConfigureChain(QORAPOProcessChain& chain) override {
    std::lock_guard<std::mutex> guard(lock);
    ++configured[&chain];
    if (!buildChains) {
      QORAPOProcessManager::ConfigureChain(chain);
      return;
    }
    if (order.count(&chain) == 0) order[&chain] = order.size();
    GainProcess* processes[] = {&a, &b, &c};
    chain.GetProcessList().ClearProcesses();
    chain.GetProcessList().AddProcess(processes[order[&chain]]);
    chain.constructed = true;
    chain.bypassed = false;
    chain.channels = 2;
  }
  int ConfiguredCount(QORAPOProcessChain* chain) {
    std::lock_guard<std::mutex> guard(lock);
    return configured[chain];
  }
  int TotalConfigured() {
    std::lock_guard<std::mutex> guard(lock);
    int total = 0;
    for (auto& entry : configured) total += entry.second;
    return total;
  }
  int64_t CalculateLatency() override { return latency; }
  // The test then plays the worker: it starts switches itself.
  void StopWorker() { StopThreads(); }

  bool buildChains = true;
  int64_t latency = 0;
  GainProcess a{1.0f}, b{10.0f}, c{100.0f};
  std::mutex lock;
  std::map<QORAPOProcessChain*, int> configured;
  std::map<QORAPOProcessChain*, size_t> order;
};

std::vector<float> Ramp(uint32_t frames, uint32_t channels, float start = 1.0f) {
  std::vector<float> v(static_cast<size_t>(frames) * channels);
  for (size_t i = 0; i < v.size(); ++i) v[i] = start + static_cast<float>(i);
  return v;
}

// One period of input.size() / channels frames; returns the frame count reported.
uint32_t RunPeriod(QORAPOProcessManager& manager, const std::vector<float>& input,
                   std::vector<float>& output, uint32_t channels = 2, bool silent = false) {
  uint32_t frames = static_cast<uint32_t>(input.size()) / channels;
  uint32_t outFrames = frames;
  manager.Process(input.data(), &frames, output.data(), &outFrames, silent);
  return outFrames;
}

TEST(QORAPOProcessManager, BypassedChainsCarryTheInputUnchanged) {
  FakeCounter clock;
  TestManager manager;
  manager.buildChains = false;
  manager.Initialize(2, 2, 48000, APO_FX_EFX);
  EXPECT_EQ(manager.GetSwitchState(), 1u);
  const auto input = Ramp(480, 2);
  std::vector<float> output(960, -1.0f);
  EXPECT_EQ(RunPeriod(manager, input, output), 480u);
  EXPECT_EQ(output, input);

  // In place, as an engine may call it.
  std::vector<float> buffer = input;
  uint32_t frames = 480, outFrames = 480;
  manager.Process(buffer.data(), &frames, buffer.data(), &outFrames, false);
  EXPECT_EQ(buffer, input);

  // A smaller output buffer than the period: never written past, and the count says so.
  std::vector<float> small(200, -1.0f);
  uint32_t shortFrames = 480, room = 100;
  manager.Process(input.data(), &shortFrames, small.data(), &room, false);
  EXPECT_EQ(room, 100u);
  EXPECT_EQ(small[199], input[199]);

  // Output mute: zeros, but the frame count still reported.
  manager.SetOutputMute(true);
  EXPECT_EQ(RunPeriod(manager, input, output), 480u);
  EXPECT_EQ(output, std::vector<float>(960, 0.0f));
  manager.SetOutputMute(false);

  // Stereo to mono: the fold of both channels.
  manager.Initialize(2, 1, 48000, APO_FX_EFX);
  std::vector<float> mono(480, -1.0f);
  RunPeriod(manager, input, mono);
  EXPECT_EQ(mono[0], 3.0f * 0.707f);
  EXPECT_EQ(mono[479], (959.0f + 960.0f) * 0.707f);
}

TEST(QORAPOProcessManager, RotationKeepsFourDistinctRoles) {
  FakeCounter clock;
  TestManager manager;
  manager.Initialize(2, 2, 48000, APO_FX_SFX);
  manager.StopWorker();
  auto* a = manager.GetCurrentChain();
  auto* b = manager.GetStandbyChain();
  auto* c = manager.GetSpareChain();
  EXPECT_EQ(manager.GetPendingChain(), nullptr);
  EXPECT_TRUE(manager.SwitchChains(1));  // already steady: nothing changes
  EXPECT_EQ(manager.GetCurrentChain(), a);
  EXPECT_FALSE(manager.SwitchChains(2));
  EXPECT_TRUE(manager.SwitchChains(0));
  EXPECT_EQ(manager.GetSwitchState(), 0u);
  EXPECT_EQ(manager.GetPendingChain(), b);
  EXPECT_EQ(manager.GetStandbyChain(), c);
  EXPECT_EQ(manager.GetSpareChain(), nullptr);
  EXPECT_TRUE(manager.SwitchChains(0));  // already switching: nothing changes
  EXPECT_EQ(manager.GetPendingChain(), b);
  EXPECT_TRUE(manager.SwitchChains(1));
  EXPECT_EQ(manager.GetCurrentChain(), b);
  EXPECT_EQ(manager.GetSpareChain(), a);
  EXPECT_EQ(manager.GetStandbyChain(), c);
  EXPECT_EQ(manager.GetPendingChain(), nullptr);
}

TEST(QORAPOProcessManager, SwitchCrossfadesAndEndsInThePeriodProgressReachesOne) {
  FakeCounter clock;
  TestManager manager;
  manager.Initialize(2, 2, 48000, APO_FX_EFX);
  manager.StopWorker();
  ASSERT_TRUE(manager.SwitchChains(0));  // what the worker does after a rebuild
  const auto input = Ramp(480, 2, 3.0f);
  std::vector<float> output(960);
  // Current chain (gain 1) fades out, pending chain (gain 10) fades in over 1440 frames, the new
  // chain's weight rising from -120 dB by 20 dB every 240 frames: x (1 - g) + 10 x g.
  const float gains[] = {1e-6f, 1e-5f, 1e-4f, 1e-3f, 1e-2f, 1e-1f};
  for (int period = 0; period < 3; ++period) {
    RunPeriod(manager, input, output);
    for (uint32_t f : {0u, 240u}) {
      const float x = input[2 * f];
      const float expected = x * (1.0f + 9.0f * gains[2 * period + f / 240]);
      EXPECT_NEAR(output[2 * f], expected, expected * 1e-5f)
          << "period " << period << " frame " << f;
    }
    EXPECT_EQ(manager.GetSwitchState(), period < 2 ? 0u : 1u);
  }
  // The pending chain got the input as delivered, not the current chain's output.
  EXPECT_EQ(manager.b.firstSamples.front(), 3.0f);
  // From now on only the new current chain runs.
  const size_t aPeriods = manager.a.periods.size();
  RunPeriod(manager, input, output);
  EXPECT_EQ(output[0], 30.0f);
  EXPECT_EQ(manager.a.periods.size(), aPeriods);
}

TEST(QORAPOProcessManager, StallFlushesLatencyPlus30msOfSilence) {
  struct Case {
    int64_t latency;
    int64_t stallMs;
    int32_t location;
    bool silent;
    uint32_t flushFrames;  // 0: no flush
  };
  const Case cases[] = {
      {0, 301, APO_FX_EFX, false, 1440},  {2000000, 301, APO_FX_EFX, false, 2400},
      {0, 300, APO_FX_EFX, false, 0},     {0, 500, APO_FX_SFX, false, 1440},
      {0, 5000, APO_FX_MFX, false, 1440}, {0, 429497, APO_FX_EFX, false, 1440},
      {0, 301, APO_FX_OSFX, false, 0},    {0, 301, APO_FX_OMFX, true, 1440},
  };
  for (const Case& test : cases) {
    SCOPED_TRACE(testing::Message() << "stall " << test.stallMs << " ms at location "
                                    << test.location << " latency " << test.latency);
    FakeCounter clock;
    qortest::TraceCapture trace;
    TestManager manager;
    manager.latency = test.latency;
    manager.Initialize(2, 2, 48000, test.location);
    const std::vector<float> input(960, 0.5f);
    std::vector<float> output(960);
    RunPeriod(manager, input, output);
    clock.AdvanceMs(test.stallMs);
    const uint32_t outFrames = RunPeriod(manager, input, output, 2, test.silent);
    const auto stale = trace.LinesContaining("was stale");
    if (test.flushFrames == 0) {
      EXPECT_EQ(manager.a.periods, std::vector<uint32_t>({480, 480}));
      EXPECT_TRUE(stale.empty());
    } else {
      EXPECT_EQ(manager.a.periods, std::vector<uint32_t>({480, test.flushFrames, 480}));
      ASSERT_EQ(stale.size(), 1u);
      EXPECT_NE(stale[0].find("QORAPOProcessManager::Process - was stale for " +
                              std::to_string(test.stallMs) +
                              " ms , APO location=" + std::to_string(test.location) + "\n"),
                std::string::npos)
          << stale[0];
    }
    // The period after the stall still carries its own input.
    EXPECT_EQ(output[0], 0.5f);
    EXPECT_EQ(outFrames, 480u);
  }
}

TEST(QORAPOProcessManager, StallDuringASwitchRebuildsThePendingChainEvenWithoutFlush) {
  FakeCounter clock;
  TestManager manager;
  manager.Initialize(2, 2, 48000, APO_FX_OSFX);
  manager.StopWorker();
  manager.SwitchChains(0);
  auto* pending = manager.GetPendingChain();
  const int before = manager.ConfiguredCount(pending);
  const std::vector<float> input(960, 0.5f);
  std::vector<float> output(960);
  clock.AdvanceMs(400);
  RunPeriod(manager, input, output);
  EXPECT_EQ(manager.ConfiguredCount(pending), before + 1);
  EXPECT_EQ(manager.b.periods, std::vector<uint32_t>({480}));
}

TEST(QORAPOProcessManager, ElapsedTimeIsSoundPastThirtyTwoBits) {
  const int64_t f = 10000000;
  EXPECT_EQ(QORAPOProcessManager::ElapsedMs(0, 3010000, f), 301u);
  EXPECT_EQ(QORAPOProcessManager::ElapsedMs(0xFFFFFFF0LL, 0xFFFFFFF0LL + 50000000, f), 5000u);
  EXPECT_EQ(QORAPOProcessManager::ElapsedMs(0, 36000000000000LL, f), 3600000000u);  // 1000 hours
  EXPECT_EQ(QORAPOProcessManager::ElapsedMs(0, 3 * 3579545LL, 3579545), 3000u);
  EXPECT_EQ(QORAPOProcessManager::ElapsedMs(100, 50, f), 0u);
  EXPECT_EQ(QORAPOProcessManager::ElapsedMs(0, 100, 0), 0u);
  EXPECT_EQ(QORAPOProcessManager::FlushFrames(44100, 0), 1323u);
  EXPECT_EQ(QORAPOProcessManager::FlushFrames(48000, 2099999), 2400u);  // whole milliseconds
}

TEST(QORAPOProcessManager, UnconnectedSideChainReadsAsSilenceAndLeavesWhatIsSent) {
  TestManager manager;
  QORAudioDataFloat data;
  const std::vector<float> samples(16, 0.25f);
  data.Assign(samples.data(), 8, 2, true, 48000);
  manager.OnPipeData(true, data);
  EXPECT_EQ(data.GetSamples(false, true)[3], 0.0f);
  // A sending chain hands over its own output: without a pipe it must stay the caller's audio.
  data.Assign(samples.data(), 8, 2, true, 48000);
  manager.OnPipeData(false, data);
  EXPECT_EQ(data.GetSamples(false, true)[15], 0.25f);
}

TEST(QORAPOProcessManager, PeaksSkipTheSideChainAndLetNaNThrough) {
  QORAudioDataFloat data;
  const std::vector<float> samples = {0.5f, -0.75f, 0.1f, -0.25f, 0.5f, NAN, 0.9f, 0.0f, 0.0f};
  data.Assign(samples.data(), 3, 3, true, 48000);
  data.SetChannelMapEntry(2, kQORChannelRoleSideChain);
  std::vector<float> peaks;
  QORAPOProcessManager::ComputePeaks(data, peaks);
  ASSERT_EQ(peaks.size(), 3u);
  EXPECT_EQ(peaks[0], 0.9f);
  EXPECT_EQ(peaks[1], 0.75f);
  EXPECT_EQ(peaks[2], 0.0f);
  // A NaN replaces the peak, and the next sample replaces the NaN.
  const std::vector<float> nanThenSmall = {0.9f, NAN, 0.1f};
  data.Assign(nanThenSmall.data(), 3, 1, true, 48000);
  QORAPOProcessManager::ComputePeaks(data, peaks);
  EXPECT_EQ(peaks[0], 0.1f);
  const std::vector<float> nanLast = {0.9f, 0.1f, NAN};
  data.Assign(nanLast.data(), 3, 1, true, 48000);
  QORAPOProcessManager::ComputePeaks(data, peaks);
  EXPECT_TRUE(std::isnan(peaks[0]));

  // The bypass's own pass over the engine's interleaved arrays meters every channel alike.
  QORAPOProcessManager::InterleavedPeaks(samples.data(), 3, 3, peaks);
  ASSERT_EQ(peaks.size(), 3u);
  EXPECT_EQ(peaks[0], 0.9f);
  EXPECT_EQ(peaks[1], 0.75f);
  EXPECT_EQ(peaks[2], 0.0f);  // 0.1, then the NaN, then 0 replacing it
  QORAPOProcessManager::InterleavedPeaks(nanLast.data(), 3, 1, peaks);
  EXPECT_TRUE(std::isnan(peaks[0]));
}

TEST(QORAPOProcessManager, SteadyAndSwitchingPeriodsAllocateNothing) {
  FakeCounter clock;
  TestManager manager;
  manager.Initialize(2, 2, 48000, APO_FX_EFX);
  manager.StopWorker();
  const std::vector<float> input(960, 0.5f);
  std::vector<float> output(960);
  RunPeriod(manager, input, output);
  qortest::AllocationScope scope;
  for (int i = 0; i < 10; ++i) RunPeriod(manager, input, output);
  manager.SwitchChains(0);
  for (int i = 0; i < 5; ++i) RunPeriod(manager, input, output);
  clock.AdvanceMs(1000);  // a stall flush too
  RunPeriod(manager, input, output);
  EXPECT_EQ(scope.Count(), 0u);
  EXPECT_EQ(manager.GetSwitchState(), 1u);
}

template <typename Condition>
bool WaitFor(Condition condition) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (!condition()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

bool WaitForSwitchState(TestManager& manager, uint32_t state) {
  return WaitFor([&] { return manager.GetSwitchState() == state; });
}

void FinishSwitch(TestManager& manager) {
  const std::vector<float> input(960, 0.5f);
  std::vector<float> output(960);
  for (int i = 0; i < 3; ++i) RunPeriod(manager, input, output);
}

TEST(QORAPOProcessManager, WorkerMergesChangesAndWaitsForTheSwitchToFinish) {
  // A frozen counter: no stall interferes, and every rebuild waits the full spacing.
  FakeCounter clock;
  TestManager manager;
  manager.Initialize(2, 2, 48000, APO_FX_EFX);
  EXPECT_EQ(manager.TotalConfigured(), 2);
  ASSERT_TRUE(
      WaitFor([&] { return manager.GetWorkerPhase() == QORAPOProcessManager::kWorkerIdle; }));
  manager.SignalChange();
  ASSERT_TRUE(WaitForSwitchState(manager, 0));
  ASSERT_TRUE(WaitFor(
      [&] { return manager.GetWorkerPhase() == QORAPOProcessManager::kWorkerWaitingForSteady; }));
  EXPECT_EQ(manager.GetRebuildCount(), 1u);
  EXPECT_EQ(manager.TotalConfigured(), 4);

  // While the switch is under way the worker waits for its end, whatever changes arrive.
  for (int i = 0; i < 10; ++i) manager.SignalChange();
  EXPECT_EQ(manager.GetWorkerPhase(), QORAPOProcessManager::kWorkerWaitingForSteady);
  EXPECT_EQ(manager.GetRebuildCount(), 1u) << "no rebuild while a switch is under way";
  // The next rebuild waits for the end of the switch and then the spacing: measured from before the
  // end, so that a descheduled test thread cannot shorten it.
  const auto finishing = std::chrono::steady_clock::now();
  FinishSwitch(manager);
  ASSERT_TRUE(WaitForSwitchState(manager, 0));
  EXPECT_GE(std::chrono::steady_clock::now() - finishing, std::chrono::milliseconds(100));
  ASSERT_TRUE(WaitFor([&] { return manager.GetRebuildCount() == 2; }));
  ASSERT_TRUE(WaitFor([&] { return manager.TotalConfigured() == 6; }));

  // The idle phase shows only once the worker has found no change pending: the ten changes were
  // consumed by one rebuild.
  FinishSwitch(manager);
  ASSERT_TRUE(
      WaitFor([&] { return manager.GetWorkerPhase() == QORAPOProcessManager::kWorkerIdle; }));
  EXPECT_EQ(manager.GetRebuildCount(), 2u) << "ten changes make one rebuild";
  EXPECT_EQ(manager.TotalConfigured(), 6);
  EXPECT_EQ(manager.GetSwitchState(), 1u);
}

// Blocks the configuration of one chosen call until told to go on, so that another thread can
// look at the manager in the middle of ResetChains.
class PausingManager : public TestManager {
 public:
  void ConfigureChain(QORAPOProcessChain& chain) override {
    TestManager::ConfigureChain(chain);
    if (pauseAt.load() != ++calls) return;
    std::unique_lock<std::mutex> guard(pauseLock);
    paused = true;
    pauseChanged.notify_all();
    pauseChanged.wait_for(guard, std::chrono::seconds(5), [&] { return resumed; });
  }
  bool WaitPaused() {
    std::unique_lock<std::mutex> guard(pauseLock);
    return pauseChanged.wait_for(guard, std::chrono::seconds(5), [&] { return paused; });
  }
  void Resume() {
    std::lock_guard<std::mutex> guard(pauseLock);
    resumed = true;
    pauseChanged.notify_all();
  }

  std::atomic<int> pauseAt{0};
  std::atomic<int> calls{0};
  std::mutex pauseLock;
  std::condition_variable pauseChanged;
  bool paused = false;
  bool resumed = false;
};

TEST(QORAPOProcessManager, ResetChainsPublishesTheSteadyStateLast) {
  FakeCounter clock;
  PausingManager manager;
  manager.Initialize(2, 2, 48000, APO_FX_EFX);
  manager.StopWorker();
  // Reset from the middle of a switch: the roles to undo are the stale ones.
  ASSERT_TRUE(manager.SwitchChains(0));
  ASSERT_NE(manager.GetPendingChain(), nullptr);
  manager.calls = 0;
  manager.pauseAt = 2;  // the standby chain, the last configuration of ResetChains
  std::thread reset([&] { manager.ResetChains(); });
  ASSERT_TRUE(manager.WaitPaused());
  // A reader in the middle of the reset sees neither state: not steady before the chains are
  // ready, and not switching with the pending role already gone.
  const uint32_t during = manager.GetSwitchState();
  manager.Resume();
  reset.join();
  EXPECT_EQ(during, QORAPOProcessManager::kSwitchStateNew);
  EXPECT_EQ(manager.GetSwitchState(), QORAPOProcessManager::kSwitchStateSteady);
  EXPECT_EQ(manager.GetPendingChain(), nullptr);
  EXPECT_NE(manager.GetSpareChain(), nullptr);
  EXPECT_NE(manager.GetCurrentChain(), manager.GetStandbyChain());
}

}  // namespace
