// Cost of the resample chain per second of audio: 100 periods of 10 ms through an empty chain
// whose processes would run at another rate (down and up conversion and the re-timing FIFO),
// against a plain copy of the same second of stereo samples.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cmath>
#include <vector>

#include "AllocationCounter.h"
#include "audio/QORAudioDataFloat.h"
#include "audio/QORAudioProcessResampleChain.h"

namespace {

constexpr uint32_t kPeriodsPerSecond = 100;

std::vector<float> Signal(uint32_t frames, uint32_t channels) {
  std::vector<float> samples(static_cast<size_t>(frames) * channels);
  for (size_t i = 0; i < samples.size(); ++i) {
    samples[i] = 0.5f * static_cast<float>(std::sin(0.05 * static_cast<double>(i / channels)));
  }
  return samples;
}

void Baseline_PlainCopyStereoSecond(benchmark::State& state) {
  const auto input = Signal(480, 2);
  std::vector<float> output(input.size());
  for (auto _ : state) {
    for (uint32_t p = 0; p < kPeriodsPerSecond; ++p) {
      std::copy(input.begin(), input.end(), output.begin());
      benchmark::DoNotOptimize(output.data());
      benchmark::ClobberMemory();
    }
  }
}
BENCHMARK(Baseline_PlainCopyStereoSecond);

// One iteration is one second of audio at the endpoint rate.
void RunSecond(benchmark::State& state, uint32_t channels, uint32_t rate, uint32_t internalRate) {
  QORAudioProcessResampleChain chain;
  chain.SetInternalRate(internalRate);
  if (!chain.Init(channels, rate)) {
    state.SkipWithError("Init failed");
    return;
  }
  const uint32_t frames = rate / kPeriodsPerSecond;
  const auto input = Signal(frames, channels);
  QORAudioDataFloat data;
  data.Assign(input.data(), frames, channels, true, rate);
  chain.Process(data);
  uint64_t periods = 0;
  qortest::AllocationScope allocations;
  for (auto _ : state) {
    for (uint32_t p = 0; p < kPeriodsPerSecond; ++p) {
      data.Assign(input.data(), frames, channels, true, rate);
      chain.Process(data);
      benchmark::DoNotOptimize(data.GetSamples(false, true));
    }
    periods += kPeriodsPerSecond;
  }
  state.counters["allocs_per_period"] = static_cast<double>(allocations.Count()) /
                                        static_cast<double>(std::max<uint64_t>(periods, 1));
  // Seconds of audio per second of processor time: how many times faster than real time.
  state.counters["x_realtime"] =
      benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
}

void ResampleChain_Stereo_48000_via_44100(benchmark::State& state) {
  RunSecond(state, 2, 48000, 44100);
}
BENCHMARK(ResampleChain_Stereo_48000_via_44100);

void ResampleChain_Stereo_44100_via_48000(benchmark::State& state) {
  RunSecond(state, 2, 44100, 48000);
}
BENCHMARK(ResampleChain_Stereo_44100_via_48000);

void ResampleChain_8ch_48000_via_44100(benchmark::State& state) {
  RunSecond(state, 8, 48000, 44100);
}
BENCHMARK(ResampleChain_8ch_48000_via_44100);

void ResampleChain_Stereo_48000_same_rate(benchmark::State& state) {
  RunSecond(state, 2, 48000, 48000);
}
BENCHMARK(ResampleChain_Stereo_48000_same_rate);

}  // namespace
