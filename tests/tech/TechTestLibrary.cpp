#include "TechTestLibrary.h"

#include <dlfcn.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdlib>
#include <numbers>

namespace techtest {

TechTestLibrary::TechTestLibrary() {
  handle = dlopen(QOR_TECH_LIBRARY, RTLD_NOW | RTLD_LOCAL);
  if (handle == nullptr) return;
  create = reinterpret_cast<QORTechCreateProcessFunction>(dlsym(handle, kQORTechCreateProcessName));
  destroy =
      reinterpret_cast<QORTechDestroyProcessFunction>(dlsym(handle, kQORTechDestroyProcessName));
}

TechTestLibrary& TechTestLibrary::Get() {
  static TechTestLibrary library;
  if (library.create == nullptr || library.destroy == nullptr) {
    ADD_FAILURE() << "cannot load " << QOR_TECH_LIBRARY << ": " << dlerror();
    std::abort();
  }
  return library;
}

ProcessPtr MakeProcess(const std::string& techId, uint32_t channels, uint32_t rate,
                       const std::vector<Setting>& settings) {
  TechProcess* raw = nullptr;
  if (!TechTestLibrary::Get().create(techId.c_str(), &raw) || raw == nullptr) return nullptr;
  ProcessPtr process(raw);
  if (!process->Init(channels, rate)) return nullptr;
  for (const auto& s : settings) EXPECT_TRUE(process->SetControlInt(s.name, s.value)) << s.name;
  return process;
}

void SideChain::Call(TechChannel* channel, uint32_t frames, void* context) {
  auto* side = static_cast<SideChain*>(context);
  ++side->calls;
  side->frames = frames;
  side->wellFormed = side->wellFormed && channel != nullptr && channel->samples != nullptr &&
                     channel->role == kTechSideChainRole && channel->next == nullptr;
  if (!side->wellFormed || frames == 0) return;
  if (side->give >= 0.0f) {
    std::fill_n(channel->samples, frames, side->give);
    return;
  }
  side->last = channel->samples[frames - 1];
}

void RunBlocks(TechProcess& process, Channels& audio, uint32_t block,
               const TechCallback* callback) {
  const size_t frames = audio.empty() ? 0 : audio[0].size();
  std::array<TechChannel, 12> records{};  // no allocation of our own inside counted scopes
  for (size_t offset = 0; offset < frames;) {
    const uint32_t n =
        static_cast<uint32_t>(block == 0 ? frames : std::min<size_t>(block, frames - offset));
    for (size_t c = 0; c < audio.size(); ++c) {
      records[c] = {audio[c].data() + offset, static_cast<uint32_t>(c), 0,
                    c + 1 < audio.size() ? &records[c + 1] : nullptr};
    }
    process.Process(records.data(), records.data(), n, callback);
    offset += n;
  }
}

Channels Sine(uint32_t channels, uint32_t frames, double freq, double rate, float amplitude) {
  Channels audio(channels, std::vector<float>(frames));
  for (uint32_t i = 0; i < frames; ++i) {
    const float v =
        amplitude * static_cast<float>(std::sin(2.0 * std::numbers::pi * freq * i / rate));
    for (auto& ch : audio) ch[i] = v;
  }
  return audio;
}

double AmplitudeAt(const std::vector<float>& samples, size_t from, double freq, double rate) {
  double s = 0.0, c = 0.0;
  for (size_t i = from; i < samples.size(); ++i) {
    const double phase = 2.0 * std::numbers::pi * freq * static_cast<double>(i) / rate;
    s += samples[i] * std::sin(phase);
    c += samples[i] * std::cos(phase);
  }
  return 2.0 * std::hypot(s, c) / static_cast<double>(samples.size() - from);
}

double Db(double ratio) {
  return 20.0 * std::log10(ratio);
}

float MaxAbs(const std::vector<float>& samples, size_t from) {
  float peak = 0.0f;
  for (size_t i = from; i < samples.size(); ++i) peak = std::max(peak, std::fabs(samples[i]));
  return peak;
}

float MaxStep(const std::vector<float>& samples, size_t from, size_t to) {
  float step = 0.0f;
  for (size_t i = std::max<size_t>(from, 1); i < to; ++i) {
    step = std::max(step, std::fabs(samples[i] - samples[i - 1]));
  }
  return step;
}

Channels Slice(const Channels& audio, size_t from, size_t to) {
  Channels out;
  for (const auto& ch : audio) out.emplace_back(ch.begin() + from, ch.begin() + to);
  return out;
}

bool IsClean(const Channels& audio) {
  for (const auto& ch : audio) {
    for (float s : ch) {
      if (!std::isfinite(s) || std::fpclassify(s) == FP_SUBNORMAL) return false;
    }
  }
  return true;
}

}  // namespace techtest
