#pragma once

#include <gtest/gtest.h>
#ifdef _WIN32
#include <windows.h>
#else
#include <dlfcn.h>
#endif

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdlib>
#include <memory>
#include <numbers>
#include <sstream>
#include <string>
#include <vector>

#include "AllocationCounter.h"
#include "chain/QORTechProcess.h"

namespace techtest {

using Channels = std::vector<std::vector<float>>;

struct Setting {
  std::string name;
  int32_t value;
};

// "name=value,name=value" (integer values) as settings.
inline std::vector<Setting> Parse(const std::string& text) {
  std::vector<Setting> settings;
  std::istringstream list(text);
  for (std::string item; std::getline(list, item, ',');) {
    const size_t equals = item.find('=');
    settings.push_back({item.substr(0, equals), std::stoi(item.substr(equals + 1))});
  }
  return settings;
}

// The built library's export, opened once per test binary like the host does.
inline void* TechTestExport(const char* name) {
#ifdef _WIN32
  // Counting reaches a module's heap calls once it is loaded and the counter has looked.
  static const HMODULE handle = [] {
    const HMODULE module = ::LoadLibraryA(QOR_TECH_LIBRARY);
    qortest::ThreadAllocationCount();
    return module;
  }();
  return handle ? reinterpret_cast<void*>(::GetProcAddress(handle, name)) : nullptr;
#else
  static void* const handle = dlopen(QOR_TECH_LIBRARY, RTLD_NOW | RTLD_LOCAL);
  return handle ? dlsym(handle, name) : nullptr;
#endif
}

struct TechTestLibrary {
  QORTechCreateProcessFunction create =
      reinterpret_cast<QORTechCreateProcessFunction>(TechTestExport(kQORTechCreateProcessName));
  QORTechDestroyProcessFunction destroy =
      reinterpret_cast<QORTechDestroyProcessFunction>(TechTestExport(kQORTechDestroyProcessName));

  static TechTestLibrary& Get() {
    static TechTestLibrary library;
    if (library.create == nullptr || library.destroy == nullptr) {
      ADD_FAILURE() << "cannot load " << QOR_TECH_LIBRARY;
      std::abort();
    }
    return library;
  }
};

struct ProcessDeleter {
  void operator()(TechProcess* p) const { TechTestLibrary::Get().destroy(p); }
};
using ProcessPtr = std::unique_ptr<TechProcess, ProcessDeleter>;

// Created, initialised and tuned with "name=value,..."; null when creating or initialising fails.
inline ProcessPtr MakeProcess(const std::string& techId, uint32_t channels, uint32_t rate,
                              const std::string& settings = "") {
  TechProcess* raw = nullptr;
  if (!TechTestLibrary::Get().create(techId.c_str(), &raw) || raw == nullptr) return nullptr;
  ProcessPtr process(raw);
  if (!process->Init(channels, rate)) return nullptr;
  for (const auto& s : Parse(settings)) {
    EXPECT_TRUE(process->SetControlInt(s.name.c_str(), s.value)) << s.name;
  }
  return process;
}

// Runs all frames through the process in place, in calls of block frames (whole length when 0).
inline void RunBlocks(TechProcess& process, Channels& audio, uint32_t block = 480,
                      const TechCallback* callback = nullptr) {
  const size_t frames = audio.empty() ? 0 : audio[0].size();
  std::array<TechChannel, 12> records{};  // no allocation of our own inside counted scopes
  for (size_t offset = 0; offset < frames;) {
    const auto n =
        static_cast<uint32_t>(block == 0 ? frames : std::min<size_t>(block, frames - offset));
    for (size_t c = 0; c < audio.size(); ++c) {
      records[c] = {audio[c].data() + offset, static_cast<uint32_t>(c), 0,
                    c + 1 < audio.size() ? &records[c + 1] : nullptr};
    }
    process.Process(records.data(), records.data(), n, callback);
    offset += n;
  }
}

// The host's end of the side chain: gives a receiving process `give` in every sample when that is
// not negative, else keeps the last level a sending process reports.
struct SideChain {
  float give = -1.0f;
  float last = 0.0f;
  TechCallback callback{&Call, this};
  static void Call(TechChannel* channel, uint32_t frames, void* context) {
    auto* side = static_cast<SideChain*>(context);
    if (channel == nullptr || channel->samples == nullptr || frames == 0) return;
    if (side->give >= 0.0f) std::fill_n(channel->samples, frames, side->give);
    if (side->give < 0.0f) side->last = channel->samples[frames - 1];
  }
};

inline Channels Sine(uint32_t channels, uint32_t frames, double freq, double rate,
                     float amplitude) {
  std::vector<float> v(frames);
  for (uint32_t i = 0; i < frames; ++i)
    v[i] = amplitude * static_cast<float>(std::sin(2.0 * std::numbers::pi * freq * i / rate));
  return Channels(channels, v);
}

// Amplitude of the freq component of samples[from, end), by correlation.
inline double AmplitudeAt(const std::vector<float>& samples, size_t from, double freq,
                          double rate) {
  double s = 0.0, c = 0.0;
  for (size_t i = from; i < samples.size(); ++i) {
    const double phase = 2.0 * std::numbers::pi * freq * static_cast<double>(i) / rate;
    s += samples[i] * std::sin(phase);
    c += samples[i] * std::cos(phase);
  }
  return 2.0 * std::hypot(s, c) / static_cast<double>(samples.size() - from);
}

inline double Db(double ratio) {
  return 20.0 * std::log10(ratio);
}

inline float MaxAbs(const std::vector<float>& samples, size_t from = 0) {
  float peak = 0.0f;
  for (size_t i = from; i < samples.size(); ++i) peak = std::max(peak, std::fabs(samples[i]));
  return peak;
}

// The largest magnitude of reference, and the largest difference of actual from it.
inline std::pair<double, double> PeakAndWorst(const Channels& reference, const Channels& actual) {
  double peak = 0.0, worst = 0.0;
  for (size_t c = 0; c < reference.size(); ++c) {
    for (size_t i = 0; i < reference[c].size(); ++i) {
      peak = std::max(peak, std::fabs(static_cast<double>(reference[c][i])));
      worst = std::max(worst, std::fabs(static_cast<double>(actual[c][i]) - reference[c][i]));
    }
  }
  return {peak, worst};
}

// No NaN, infinity or subnormal anywhere.
inline bool IsClean(const Channels& audio) {
  return std::all_of(audio.begin(), audio.end(), [](const std::vector<float>& ch) {
    return std::all_of(ch.begin(), ch.end(), [](float s) { return std::isnormal(s) || s == 0; });
  });
}

}  // namespace techtest
