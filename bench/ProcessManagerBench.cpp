// Cost of the period path: one 10 ms stereo period at 48000 Hz through the process manager with
// its default (bypassed) chains, steady and during a crossfaded switch, and with the example
// configuration's chains bypassed at their common latency, against a plain copy of the same
// samples.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <vector>

#include "AllocationCounter.h"
#include "manager/QORAPOProcessManager.h"
#include "support/BenchEndpoint.h"

namespace {

constexpr uint32_t kFrames = 480;
constexpr uint32_t kChannels = 2;

std::vector<float> Signal() {
  std::vector<float> samples(kFrames * kChannels);
  for (size_t i = 0; i < samples.size(); ++i) samples[i] = static_cast<float>(i % 97) / 97.0f;
  return samples;
}

void Baseline_PlainCopy(benchmark::State& state) {
  const auto input = Signal();
  std::vector<float> output(input.size());
  for (auto _ : state) {
    std::copy(input.begin(), input.end(), output.begin());
    benchmark::DoNotOptimize(output.data());
    benchmark::ClobberMemory();
  }
}
BENCHMARK(Baseline_PlainCopy);

void RunPeriods(benchmark::State& state, bool switching, bool configured = false,
                bool metered = false) {
  qorbench::BenchStateRoot root;
  QORAPOProcessManager manager;
  if (configured) {
    manager.SetEndpointInfo(qorbench::ExampleEndpoint(root.Path()), APO_FX_PreBlue);
    manager.SetProcessingOverride(1);
    // The example meters input and output; the bypass alone is measured without.
    if (!metered) manager.SetMeteringMode(0);
  }
  manager.Initialize(kChannels, kChannels, 48000, configured ? APO_FX_PreBlue : APO_FX_EFX);
  const auto input = Signal();
  std::vector<float> output(input.size());
  uint32_t frames = kFrames;
  uint32_t outFrames = kFrames;
  manager.Process(input.data(), &frames, output.data(), &outFrames, false);
  uint64_t periods = 0;
  qortest::AllocationScope allocations;
  for (auto _ : state) {
    if (switching && manager.GetSwitchState() == QORAPOProcessManager::kSwitchStateSteady) {
      manager.SwitchChains(QORAPOProcessManager::kSwitchStateSwitching);
    }
    outFrames = kFrames;
    manager.Process(input.data(), &frames, output.data(), &outFrames, false);
    benchmark::DoNotOptimize(output.data());
    ++periods;
  }
  state.counters["allocs_per_period"] = static_cast<double>(allocations.Count()) /
                                        static_cast<double>(std::max<uint64_t>(periods, 1));
  state.counters["delay_frames"] = manager.GetCurrentChain()->GetDelay().GetLatency();
}

void ProcessManager_SteadyPeriod(benchmark::State& state) {
  RunPeriods(state, false);
}
BENCHMARK(ProcessManager_SteadyPeriod);

// The example's chains bypassed: the input is delayed by the common latency.
void ProcessManager_BypassedChainPeriod(benchmark::State& state) {
  RunPeriods(state, false, true);
}
BENCHMARK(ProcessManager_BypassedChainPeriod);

// The same with the example's input and output meters open.
void ProcessManager_BypassedChainMeteredPeriod(benchmark::State& state) {
  RunPeriods(state, false, true, true);
}
BENCHMARK(ProcessManager_BypassedChainMeteredPeriod);

void ProcessManager_SwitchingPeriod(benchmark::State& state) {
  RunPeriods(state, true);
}
BENCHMARK(ProcessManager_SwitchingPeriod);

}  // namespace
