// Cost of each technology-library process per second of 48000 Hz stereo audio in 480-frame
// blocks, as processor time per second of audio and as a ratio to a plain copy of the same audio
// measured in the same run. The library is loaded like the host loads it: from the build folder, or
// from QOR_TECH_LIBRARY. The shared benchmark main prints each time as a ratio to
// Baseline/CopyOneSecond; x_copy is the same ratio measured inside each run.
#include <benchmark/benchmark.h>
#include <dlfcn.h>

#include <chrono>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "AllocationCounter.h"
#include "chain/QORTechProcess.h"
#include "platform/QORModule.h"
#include "support/ThreadCpuClock.h"

namespace {

constexpr uint32_t kRate = 48000;
constexpr uint32_t kBlock = 480;

struct Library {
  QORTechCreateProcessFunction create = nullptr;
  QORTechDestroyProcessFunction destroy = nullptr;
};

const Library& Load() {
  static Library library = [] {
    Library lib;
    std::string path;
    if (const char* env = std::getenv("QOR_TECH_LIBRARY")) {
      path = env;
    } else {
      const auto exe = std::filesystem::read_symlink("/proc/self/exe");
      path = (exe.parent_path().parent_path() / (std::string(kQORTechModule64) + kQORModuleSuffix))
                 .string();
    }
    if (void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL)) {
      lib.create =
          reinterpret_cast<QORTechCreateProcessFunction>(dlsym(handle, kQORTechCreateProcessName));
      lib.destroy = reinterpret_cast<QORTechDestroyProcessFunction>(
          dlsym(handle, kQORTechDestroyProcessName));
    }
    return lib;
  }();
  return library;
}

struct Setting {
  const char* name;
  int32_t value;
};

struct Tech {
  const char* id;
  std::vector<Setting> settings;  // every effect of the process switched on
  const char* label = nullptr;    // benchmark name when not the id
};

const std::vector<Tech>& Techs() {
  static const std::vector<Tech> techs = {
      {"QOR Passthrough", {}},
      {"ZR3D",
       {{"ZR3D-GEQ Enable", 1},
        {"ZR3D-GEQ Band 2", 600},
        {"ZR3D-GEQ Band 7", -300},
        {"ZR3D-AmploHD Enable", 1},
        {"ZR3D-GravHD Boost Enable", 1},
        {"ZR3D-Stereo Width", 140}}},
      // The reference processing of the host-versus-sox comparison: all ten bands set.
      {"ZR3D",
       {{"ZR3D-GEQ Enable", 1},
        {"ZR3D-GEQ Band 1", -600},
        {"ZR3D-GEQ Band 2", -300},
        {"ZR3D-GEQ Band 3", 200},
        {"ZR3D-GEQ Band 4", 300},
        {"ZR3D-GEQ Band 5", -100},
        {"ZR3D-GEQ Band 6", -200},
        {"ZR3D-GEQ Band 7", 100},
        {"ZR3D-GEQ Band 8", 150},
        {"ZR3D-GEQ Band 9", 200},
        {"ZR3D-GEQ Band 10", -150},
        {"ZR3D-AmploHD Enable", 1},
        {"ZR3D-GravHD Boost Enable", 1},
        {"ZR3D-GravHD Boost Level", 400}},
       "ZR3D reference"},
      {"LUXSND",
       {{"LUXSND-GEQ Enable", 1},
        {"LUXSND-PEQ Band 1 Type", 2},
        {"LUXSND-PEQ Band 1 Gain", 400},
        {"LUXSND-PEQ Band 3 Type", 1},
        {"LUXSND-PEQ Band 3 Gain", -500},
        {"LUXSND-AmploHD Enable", 1},
        {"LUXSND-GravHD Boost Enable", 1}}},
      {"NUV", {{"NUV-Process Enable", 1}}},
      {"QOR Speaker Protection", {}},
      // Second channel is the echo reference; echo canceller and noise reduction both on.
      {"QOR AEC/NR", {}},
      // Fed a loud room through the side chain, so the lift is working.
      {"QOR Clarix+", {}},
  };
  return techs;
}

// The host's side-chain function as the render side sees it in a loud room (-30 dBFS); the capture
// side's record is taken and dropped.
void LoudRoom(TechChannel* channel, uint32_t frames, void*) {
  for (uint32_t i = 0; i < frames; ++i) channel->samples[i] = 0.0316f;
}

// Processes one second through the given techs (one after another) per iteration.
void RunTechs(benchmark::State& state, const std::vector<const Tech*>& techs) {
  const Library& lib = Load();
  if (lib.create == nullptr) {
    state.SkipWithError("qltech64 not loadable; build the qltech64 target first");
    return;
  }
  std::vector<TechProcess*> processes;
  for (const Tech* tech : techs) {
    TechProcess* p = nullptr;
    if (!lib.create(tech->id, &p) || !p->Init(2, kRate)) {
      state.SkipWithError(tech->id);
      return;
    }
    for (const auto& s : tech->settings) p->SetControlInt(s.name, s.value);
    processes.push_back(p);
  }
  std::vector<float> source(2 * kRate);
  for (uint32_t i = 0; i < kRate; ++i) {
    source[i] = 0.5f * std::sin(0.0523f * i) + 0.2f * std::sin(0.71f * i);
    source[kRate + i] = 0.5f * std::sin(0.0311f * i);
  }
  std::vector<float> work(source.size());
  TechChannel records[2];
  const TechCallback sideChain{&LoudRoom, nullptr};
  // Processor time of this thread, like the ratios the shared main prints.
  using Clock = qorbench::ThreadCpuClock;
  Clock::duration processing{}, copying{};
  uint64_t allocations = 0;
  for (auto _ : state) {
    const auto t0 = Clock::now();
    std::memcpy(work.data(), source.data(), source.size() * sizeof(float));  // the baseline
    benchmark::DoNotOptimize(work.data());
    const auto t1 = Clock::now();
    qortest::AllocationScope scope;
    for (uint32_t offset = 0; offset < kRate; offset += kBlock) {
      records[0] = {work.data() + offset, 0, 0, &records[1]};
      records[1] = {work.data() + kRate + offset, 1, 0, nullptr};
      for (TechProcess* p : processes) p->Process(records, records, kBlock, &sideChain);
    }
    benchmark::DoNotOptimize(work.data());
    allocations += scope.Count();
    const auto t2 = Clock::now();
    copying += t1 - t0;
    processing += t2 - t1;
  }
  const double iterations = static_cast<double>(state.iterations());
  const double seconds = std::chrono::duration<double>(processing).count() / iterations;
  state.counters["realtime_fraction"] = seconds;  // per second of audio
  state.counters["x_copy"] =
      std::chrono::duration<double>(processing) / std::chrono::duration<double>(copying);
  state.counters["allocs_per_s"] = static_cast<double>(allocations) / iterations;
  for (TechProcess* p : processes) lib.destroy(p);
}

void BM_Process(benchmark::State& state) {
  RunTechs(state, {&Techs()[static_cast<size_t>(state.range(0))]});
}

void BM_WholeSuite(benchmark::State& state) {
  std::vector<const Tech*> all;
  for (const auto& t : Techs()) all.push_back(&t);
  RunTechs(state, all);
}

// The plain copy of one second of audio, the reference every ratio is taken against.
void BM_CopyOneSecond(benchmark::State& state) {
  std::vector<float> source(2 * kRate, 0.25f);
  std::vector<float> work(source.size());
  for (auto _ : state) {
    std::memcpy(work.data(), source.data(), source.size() * sizeof(float));
    benchmark::DoNotOptimize(work.data());
    benchmark::ClobberMemory();
  }
}

void RegisterAll() {
  benchmark::RegisterBenchmark("Baseline/CopyOneSecond", BM_CopyOneSecond)
      ->Unit(benchmark::kMillisecond);
  for (size_t i = 0; i < Techs().size(); ++i) {
    const Tech& tech = Techs()[i];
    const std::string name = tech.label != nullptr ? tech.label : tech.id;
    benchmark::RegisterBenchmark(("Process/" + name).c_str(), BM_Process)
        ->Arg(static_cast<int64_t>(i))
        ->Unit(benchmark::kMillisecond);
  }
  benchmark::RegisterBenchmark("WholeSuite", BM_WholeSuite)->Unit(benchmark::kMillisecond);
}

// Registered before the shared benchmark main runs.
const bool kRegistered = (RegisterAll(), true);

}  // namespace
