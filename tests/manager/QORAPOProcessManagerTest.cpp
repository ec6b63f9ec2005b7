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
#include "manager/QORAPOProcessManager.h"
#include "platform/QORDenormalGuard.h"
#include "platform/QORPerformanceCounter.h"

namespace {

// A 10 MHz counter that moves only when told, from near a 32-bit wrap of its low part.
class FakeCounter : public IQORCounterSource {
 public:
  FakeCounter() { QORPerformanceCounter::SetSourceForTesting(this); }
  ~FakeCounter() override { QORPerformanceCounter::SetSourceForTesting(nullptr); }
  bool Query(int64_t* counter) override { return (*counter = now.load()), true; }
  bool Frequency(int64_t* ticksPerSecond) override { return (*ticksPerSecond = 10000000), true; }
  void AdvanceMs(int64_t ms) { now += ms * 10000; }
  std::atomic<int64_t> now{0x7FFFFF00};
};

// Multiplies by a gain; records each period's length and first sample (storage reserved). Given
// a clock, each period takes busyMs of its time.
class GainProcess : public IQORAudioProcess<float> {
 public:
  explicit GainProcess(float gain) : gain_(gain) {
    periods.reserve(64);
    firstSamples.reserve(64);
  }
  bool Init(uint32_t, uint32_t) override { return true; }
  void EnableBypass(bool) override {}
  bool IsBypassed() const override { return false; }
  uint32_t GetLatency() const override { return 0; }
  void Process(IQORAudioData<float>& data) override {
    if (clock != nullptr) clock->AdvanceMs(busyMs);
    float* s = data.GetSamples(true, true);
    flushing = QORDenormalGuard::IsFlushing();
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
  FakeCounter* clock = nullptr;
  int64_t busyMs = 0;
  bool flushing = false;  // in the last period, the thread flushed subnormals

 private:
  float gain_;
};

// Chains run test processes gaining by 1, 10 and 100 in the order first configured. Configuration
// call number pauseAt (counted from when set) waits for `resumed`, to look inside ResetChains.
class TestManager : public QORAPOProcessManager {
 public:
  ~TestManager() override { StopThreads(); }
  void ConfigureChain(QORAPOProcessChain& chain) override {
    std::unique_lock<std::mutex> guard(lock);
    ++configured;
    configuredFlushing = QORDenormalGuard::IsFlushing();
    if (!buildChains) return QORAPOProcessManager::ConfigureChain(chain);
    if (order.count(&chain) == 0) order[&chain] = order.size();
    GainProcess* processes[] = {&a, &b, &c};
    chain.GetProcessList().ClearProcesses();
    chain.GetProcessList().AddProcess(processes[order[&chain]]);
    chain.constructed = true;
    chain.bypassed = false;
    chain.channels = 2;
    if (pauseAt != 0 && --pauseAt == 0) {
      paused = true;
      changed.notify_all();
      changed.wait_for(guard, std::chrono::seconds(5), [&] { return resumed; });
    }
  }
  int Configured() {
    std::lock_guard<std::mutex> guard(lock);
    return configured;
  }
  int64_t CalculateLatency() override { return latency; }
  void StopWorker() { StopThreads(); }  // the test then plays the worker
  QORCriticalSection& SwitchLock() { return SwitchLockForTesting(); }

  bool buildChains = true;
  int64_t latency = 0;
  GainProcess a{1.0f}, b{10.0f}, c{100.0f};
  std::mutex lock;
  std::condition_variable changed;
  int configured = 0;
  bool configuredFlushing = false;  // the last configuration ran flushing subnormals
  std::map<QORAPOProcessChain*, size_t> order;
  int pauseAt = 0;
  bool paused = false;
  bool resumed = false;
};

std::vector<float> Ramp(uint32_t frames, uint32_t channels, float start = 1.0f) {
  std::vector<float> v(static_cast<size_t>(frames) * channels);
  for (size_t i = 0; i < v.size(); ++i) v[i] = start + static_cast<float>(i);
  return v;
}

// A stereo period of 480 frames at 0.5.
const std::vector<float> kSteady(960, 0.5f);

// One period of input.size() / channels frames; returns the frame count reported.
uint32_t RunPeriod(QORAPOProcessManager& manager, const std::vector<float>& input,
                   std::vector<float>& output, uint32_t channels = 2, bool silent = false) {
  uint32_t frames = static_cast<uint32_t>(input.size()) / channels;
  uint32_t outFrames = frames;
  manager.Process(input.data(), &frames, output.data(), &outFrames, silent);
  return outFrames;
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

TEST(QORAPOProcessManager, SwitchRotatesTheRolesCrossfadesAndAllocatesNothing) {
  FakeCounter clock;
  TestManager manager;
  manager.Initialize(2, 2, 48000, APO_FX_EFX);
  manager.StopWorker();
  auto* a = manager.GetCurrentChain();
  auto* b = manager.GetStandbyChain();
  auto* c = manager.GetSpareChain();
  const auto input = Ramp(480, 2, 3.0f);
  std::vector<float> output(960);
  RunPeriod(manager, input, output);
  qortest::AllocationScope scope;
  EXPECT_TRUE(manager.SwitchChains(1));  // already steady: nothing changes
  EXPECT_EQ(manager.GetCurrentChain(), a);
  EXPECT_FALSE(manager.SwitchChains(2));
  // What the worker does after a rebuild, twice: the second changes nothing.
  EXPECT_TRUE(manager.SwitchChains(0) && manager.SwitchChains(0));
  EXPECT_EQ(manager.GetPendingChain(), b);
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
  EXPECT_EQ(manager.GetSpareChain(), a);
  EXPECT_EQ(manager.GetStandbyChain(), c);
  EXPECT_EQ(manager.GetPendingChain(), nullptr);
  // The pending chain got the input as delivered, not the current chain's output.
  EXPECT_EQ(manager.b.firstSamples.front(), 3.0f);
  // From now on only the new current chain runs.
  const size_t aPeriods = manager.a.periods.size();
  RunPeriod(manager, input, output);
  EXPECT_EQ(output[0], 30.0f);
  EXPECT_EQ(manager.a.periods.size(), aPeriods);
  clock.AdvanceMs(1000);  // a stall flush too
  RunPeriod(manager, input, output);
  EXPECT_EQ(scope.Count(), 0u);
}

// A stall is the gap from the end of one period to the start of the next, not the time the chain
// spends inside a period; one longer than 300 ms flushes the target latency and 30 ms of silence
// through the chain, except at the offload stream position.
TEST(QORAPOProcessManager, StallIsTheGapBetweenPeriodsAndFlushesLatencyPlus30msOfSilence) {
  struct Case {
    int64_t latency, busyMs, gapMs;
    int32_t location;
    bool silent;
    uint32_t flushFrames;  // 0: no flush
  };
  const Case cases[] = {
      {0, 0, 301, APO_FX_EFX, false, 1440},   {2000000, 0, 301, APO_FX_EFX, false, 2400},
      {0, 0, 300, APO_FX_EFX, false, 0},      {0, 0, 500, APO_FX_SFX, false, 1440},
      {0, 0, 5000, APO_FX_MFX, false, 1440},  {0, 0, 429497, APO_FX_EFX, false, 1440},
      {0, 0, 301, APO_FX_OSFX, false, 0},     {0, 0, 301, APO_FX_OMFX, true, 1440},
      {0, 250, 100, APO_FX_EFX, false, 0},    {0, 400, 0, APO_FX_EFX, false, 0},
      {0, 250, 301, APO_FX_EFX, false, 1440},
  };
  std::vector<float> output(960);
  for (const Case& test : cases) {
    SCOPED_TRACE(testing::Message()
                 << "busy " << test.busyMs << " ms, gap " << test.gapMs << " ms at location "
                 << test.location << " latency " << test.latency);
    FakeCounter clock;
    TestManager manager;
    manager.latency = test.latency;
    manager.Initialize(2, 2, 48000, test.location);
    manager.a.clock = &clock;
    manager.a.busyMs = test.busyMs;
    RunPeriod(manager, kSteady, output);
    clock.AdvanceMs(test.gapMs);
    const uint32_t outFrames = RunPeriod(manager, kSteady, output, 2, test.silent);
    if (test.flushFrames == 0) {
      EXPECT_EQ(manager.a.periods, std::vector<uint32_t>({480, 480}));
    } else {
      EXPECT_EQ(manager.a.periods, std::vector<uint32_t>({480, test.flushFrames, 480}));
    }
    // The period after the stall still carries its own input.
    EXPECT_EQ(output[0], 0.5f);
    EXPECT_EQ(outFrames, 480u);
  }
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

void FinishSwitch(TestManager& manager) {
  std::vector<float> output(960);
  for (int i = 0; i < 3; ++i) RunPeriod(manager, kSteady, output);
}

TEST(QORAPOProcessManager, WorkerMergesChangesAndWaitsForTheSwitchToFinish) {
  // A frozen counter: no stall interferes, and every rebuild waits the full spacing.
  FakeCounter clock;
  TestManager manager;
  manager.Initialize(2, 2, 48000, APO_FX_EFX);
  EXPECT_EQ(manager.Configured(), 2);
  const auto phase = [&](auto expected) {
    return WaitFor([&] { return manager.GetWorkerPhase() == expected; });
  };
  ASSERT_TRUE(phase(QORAPOProcessManager::kWorkerIdle));
  manager.SignalChange();
  ASSERT_TRUE(WaitFor([&] { return manager.GetSwitchState() == 0; }));
  ASSERT_TRUE(phase(QORAPOProcessManager::kWorkerWaitingForSteady));
  EXPECT_EQ(manager.GetRebuildCount(), 1u);
  EXPECT_EQ(manager.Configured(), 4);

  // While the switch is under way the worker waits for its end, whatever changes arrive.
  for (int i = 0; i < 10; ++i) manager.SignalChange();
  EXPECT_EQ(manager.GetWorkerPhase(), QORAPOProcessManager::kWorkerWaitingForSteady);
  EXPECT_EQ(manager.GetRebuildCount(), 1u) << "no rebuild while a switch is under way";
  // The next rebuild waits for the end of the switch and then the spacing: measured from before the
  // end, so that a descheduled test thread cannot shorten it.
  const auto finishing = std::chrono::steady_clock::now();
  FinishSwitch(manager);
  ASSERT_TRUE(WaitFor([&] { return manager.GetSwitchState() == 0; }));
  EXPECT_GE(std::chrono::steady_clock::now() - finishing, std::chrono::milliseconds(100));
  ASSERT_TRUE(WaitFor([&] { return manager.GetRebuildCount() == 2; }));
  ASSERT_TRUE(WaitFor([&] { return manager.Configured() == 6; }));

  // The idle phase shows only once the worker has found no change pending: the ten changes were
  // consumed by one rebuild.
  FinishSwitch(manager);
  ASSERT_TRUE(phase(QORAPOProcessManager::kWorkerIdle));
  EXPECT_EQ(manager.GetRebuildCount(), 2u) << "ten changes make one rebuild";
  EXPECT_EQ(manager.Configured(), 6);
  EXPECT_EQ(manager.GetSwitchState(), 1u);
}

// Subnormal samples are read as zero and subnormal results become zero in a period and on the
// worker, whichever thread calls; the caller's own mode is back after each period.
TEST(QORAPOProcessManager, PeriodsAndTheWorkerFlushSubnormalsAndTheCallerKeepsItsMode) {
  FakeCounter clock;
  TestManager manager;
  manager.Initialize(2, 2, 48000, APO_FX_EFX);
  // Initialize runs on the configuration thread, which keeps its mode.
  EXPECT_FALSE(manager.configuredFlushing);
  ASSERT_TRUE(
      WaitFor([&] { return manager.GetWorkerPhase() == QORAPOProcessManager::kWorkerIdle; }));
  manager.SignalChange();
  ASSERT_TRUE(WaitFor([&] { return manager.Configured() == 4; }));
  EXPECT_TRUE(manager.configuredFlushing) << "the worker builds the standby chain flushing";
  manager.StopWorker();
  FinishSwitch(manager);

  ASSERT_FALSE(QORDenormalGuard::IsFlushing());
  const std::vector<float> tiny(960, 1e-39f);  // below the smallest normal float, 1.18e-38
  std::vector<float> output(960, -1.0f);
  ASSERT_EQ(RunPeriod(manager, tiny, output), 480u);
  EXPECT_TRUE(manager.a.flushing || manager.b.flushing);
  for (size_t i = 0; i < output.size(); ++i) {
    ASSERT_EQ(output[i], 0.0f) << "sample " << i << " through a gain of 1 or 10";
  }
  EXPECT_FALSE(QORDenormalGuard::IsFlushing());
  volatile float unflushed = 1e-39f;
  EXPECT_EQ(unflushed * 2.0f, 2e-39f) << "the caller's thread does not flush after the period";
}

TEST(QORAPOProcessManager, ResetChainsPublishesTheSteadyStateLast) {
  FakeCounter clock;
  TestManager manager;
  manager.Initialize(2, 2, 48000, APO_FX_EFX);
  manager.StopWorker();
  // Reset from the middle of a switch: the roles to undo are the stale ones.
  ASSERT_TRUE(manager.SwitchChains(0));
  manager.pauseAt = 2;  // the standby chain, the last configuration of ResetChains
  std::thread reset([&] { manager.ResetChains(); });
  std::unique_lock<std::mutex> guard(manager.lock);
  EXPECT_TRUE(
      manager.changed.wait_for(guard, std::chrono::seconds(5), [&] { return manager.paused; }));
  // A reader in the middle of the reset sees neither state: not steady before the chains are
  // ready, and not switching with the pending role already gone.
  const uint32_t during = manager.GetSwitchState();
  manager.resumed = true;
  manager.changed.notify_all();
  guard.unlock();
  reset.join();
  EXPECT_EQ(during, QORAPOProcessManager::kSwitchStateNew);
  EXPECT_EQ(manager.GetSwitchState(), QORAPOProcessManager::kSwitchStateSteady);
  EXPECT_EQ(manager.GetPendingChain(), nullptr);
  EXPECT_NE(manager.GetSpareChain(), nullptr);
  EXPECT_NE(manager.GetCurrentChain(), manager.GetStandbyChain());
}

// Output buffers of room frames and a few more, full of a marker: the chain's frames (the input
// unchanged where the chains are bypassed), zeros to the end of a larger room, and nothing past it.
// In place, as an engine may call it, too.
TEST(QORAPOProcessManager, EveryPeriodWritesTheWholeOutputBufferAndNothingPastIt) {
  struct Case {
    bool processed;  // a running chain, else bypassed chains (the copy-free path)
    uint32_t inChannels, outChannels;
    bool mute;
    uint32_t room;
    bool inPlace;
  };
  const Case cases[] = {{false, 2, 2, false, 600, false}, {true, 2, 2, false, 600, false},
                        {false, 2, 6, false, 600, false}, {false, 2, 2, true, 600, false},
                        {true, 2, 2, true, 600, false},   {false, 2, 2, false, 480, false},
                        {false, 2, 2, true, 480, false},  {false, 2, 2, false, 100, false},
                        {false, 2, 2, false, 480, true}};
  constexpr float kMarker = 7.0f;
  constexpr uint32_t kBeyond = 8;
  for (const Case& test : cases) {
    SCOPED_TRACE(testing::Message() << "processed " << test.processed << ", " << test.inChannels
                                    << " to " << test.outChannels << ", mute " << test.mute
                                    << ", room " << test.room << ", in place " << test.inPlace);
    FakeCounter clock;
    TestManager manager;
    manager.buildChains = test.processed;
    manager.Initialize(test.inChannels, test.outChannels, 48000, APO_FX_EFX);
    manager.SetOutputMute(test.mute);
    const auto input = Ramp(480, test.inChannels);
    std::vector<float> output((test.room + kBeyond) * test.outChannels, kMarker);
    if (test.inPlace) std::copy(input.begin(), input.end(), output.begin());
    uint32_t frames = 480, room = test.room;
    manager.Process(test.inPlace ? output.data() : input.data(), &frames, output.data(), &room,
                    false);
    EXPECT_EQ(room, std::min(test.room, 480u));
    for (uint32_t f = 0; f < test.room + kBeyond; ++f) {
      for (uint32_t c = 0; c < test.outChannels; ++c) {
        const float expected = f >= test.room          ? kMarker
                               : f >= 480 || test.mute ? 0.0f
                               : c >= test.inChannels  ? 0.0f
                                                       : input[f * test.inChannels + c];
        ASSERT_EQ(output[f * test.outChannels + c], expected) << "frame " << f << " ch " << c;
      }
    }
  }
}

TEST(QORAPOProcessManager, StalledSwitchFinishesWithoutBuildingOrAllocatingOnThePeriodThread) {
  FakeCounter clock;
  TestManager manager;
  manager.Initialize(2, 2, 48000, APO_FX_EFX);
  manager.StopWorker();
  const int configured = manager.Configured();
  std::vector<float> output(960);
  RunPeriod(manager, kSteady, output);
  ASSERT_TRUE(manager.SwitchChains(0));
  RunPeriod(manager, kSteady, output);  // the crossfade begins
  clock.AdvanceMs(1000);
  // The periods of the switch run on a thread of their own while another holds the switch lock:
  // none of them may wait for it.
  std::atomic<bool> done{false};
  uint64_t allocations = 0;
  std::vector<float> quietest;
  quietest.reserve(10);
  std::thread period([&] {
    const qortest::AllocationScope scope;
    for (int i = 0; i < 10 && manager.GetSwitchState() != 1; ++i) {
      RunPeriod(manager, kSteady, output);
      quietest.push_back(*std::min_element(output.begin(), output.end()));
    }
    allocations = scope.Count();
    done = true;
  });
  {
    QORCriticalSectionLock hold(manager.SwitchLock());
    EXPECT_TRUE(WaitFor([&] { return done.load(); })) << "a period waited for the switch lock";
  }
  period.join();
  EXPECT_EQ(manager.GetSwitchState(), 1u) << "the switch completes";
  EXPECT_EQ(manager.GetPendingChain(), nullptr);
  EXPECT_EQ(allocations, 0u);
  EXPECT_EQ(manager.Configured(), configured) << "a chain was built on the period thread";
  // No gap: every period carries the input through one chain or the other (gains 1 and 10).
  for (const float low : quietest) EXPECT_GE(low, 0.5f);
}

}  // namespace
