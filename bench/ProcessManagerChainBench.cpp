// Cost of the host around the technology processes: the manager's period path through the Music
// chain of the example (ZR3D and Speaker Protection, stereo, local-effect position) at 48000 Hz,
// and at 96000 Hz where it resamples to 48000 Hz, as ratios to the same two processes called
// straight through the library's contract on the same 10 ms of audio (deinterleaved and
// interleaved again, as any caller of the contract must).
#include <benchmark/benchmark.h>

#include <cmath>
#include <fstream>
#include <sstream>
#include <vector>

#include "AllocationCounter.h"
#include "chain/QORAPOProcessLibrary.h"
#include "manager/QORAPOProcessManager.h"
#include "settings/QORAPOConfigurationFile.h"
#include "support/BenchEndpoint.h"

namespace {

constexpr uint32_t kChannels = 2;

std::vector<float> Signal(uint32_t frames) {
  std::vector<float> samples(static_cast<size_t>(frames) * kChannels);
  for (size_t i = 0; i < samples.size(); ++i) {
    samples[i] = 0.3f * static_cast<float>(std::sin(0.0123 * static_cast<double>(i)));
  }
  return samples;
}

std::shared_ptr<QORAPOOperatingMode> MusicMode(QORAPOConfigurationFile& file) {
  std::ifstream example(QOR_EXAMPLE_CONFIGURATION);
  std::stringstream text;
  text << example.rdbuf();
  file.LoadFromText(text.str(), 0, 0);
  std::shared_ptr<QORAPOOperatingMode> mode;
  file.FindOperatingMode(QORAPOModeIdentity("VAPO3-Music", "VAPO3-Speakers"), mode);
  return mode;
}

// The two processes tuned with the mode's controls, as the wrapper sends them.
void Baseline_BareLibrary(benchmark::State& state) {
  QORAPOConfigurationFile file;
  const auto mode = MusicMode(file);
  QORAPOProcessLibrary zr3d;
  QORAPOProcessLibrary protection;
  if (mode == nullptr || !zr3d.CreateProcess("ZR3D") ||
      !protection.CreateProcess("QOR Speaker Protection")) {
    state.SkipWithError("no technology library or mode");
    return;
  }
  TechProcess* processes[] = {zr3d.GetProcess(), protection.GetProcess()};
  for (TechProcess* process : processes) {
    process->Init(kChannels, 48000);
    for (const auto& [name, value] : mode->GetControls().Values()) {
      const int32_t n = value.GetIndex();
      if (n != -1) {
        process->SetControlInt(value.GetShortName().c_str(), n);
      } else {
        process->SetControlString(value.GetShortName().c_str(), value.GetValueText().c_str());
      }
    }
  }
  const uint32_t frames = 480;
  const auto input = Signal(frames);
  std::vector<float> output(input.size());
  std::vector<float> planar(input.size());
  TechChannel records[kChannels];
  for (uint32_t c = 0; c < kChannels; ++c) {
    records[c] = {planar.data() + c * frames, c, 0, c + 1 < kChannels ? &records[c + 1] : nullptr};
  }
  for (auto _ : state) {
    for (uint32_t f = 0; f < frames; ++f) {
      for (uint32_t c = 0; c < kChannels; ++c) planar[c * frames + f] = input[f * kChannels + c];
    }
    for (TechProcess* process : processes) process->Process(records, records, frames, nullptr);
    for (uint32_t f = 0; f < frames; ++f) {
      for (uint32_t c = 0; c < kChannels; ++c) output[f * kChannels + c] = planar[c * frames + f];
    }
    benchmark::DoNotOptimize(output.data());
    benchmark::ClobberMemory();
  }
}
BENCHMARK(Baseline_BareLibrary);

void RunManager(benchmark::State& state, uint32_t rate) {
  qorbench::BenchStateRoot root;
  QORAPOProcessManager manager;
  manager.SetEndpointInfo(qorbench::ExampleEndpoint(root.Path()), APO_FX_PreBlue);
  manager.Initialize(kChannels, kChannels, rate, APO_FX_PreBlue);
  QORAPOProcessChain* chain = manager.GetCurrentChain();
  if (chain->bypassed || chain->GetElementCount() != 2) {
    state.SkipWithError("the Music chain was not built");
    return;
  }
  const uint32_t frames = rate / 100;
  const auto input = Signal(frames);
  std::vector<float> output(input.size());
  uint32_t inFrames = frames;
  uint32_t outFrames = frames;
  manager.Process(input.data(), &inFrames, output.data(), &outFrames, false);
  uint64_t periods = 0;
  qortest::AllocationScope allocations;
  for (auto _ : state) {
    outFrames = frames;
    manager.Process(input.data(), &inFrames, output.data(), &outFrames, false);
    benchmark::DoNotOptimize(output.data());
    ++periods;
  }
  state.counters["allocs_per_period"] = static_cast<double>(allocations.Count()) /
                                        static_cast<double>(std::max<uint64_t>(periods, 1));
  state.counters["internal_rate"] = chain->internalRate;
}

void ProcessManager_MusicChain48000(benchmark::State& state) {
  RunManager(state, 48000);
}
BENCHMARK(ProcessManager_MusicChain48000);

void ProcessManager_MusicChain96000(benchmark::State& state) {
  RunManager(state, 96000);
}
BENCHMARK(ProcessManager_MusicChain96000);

}  // namespace
