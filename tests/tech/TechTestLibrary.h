#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "chain/QORTechProcess.h"

namespace techtest {

using Channels = std::vector<std::vector<float>>;

struct Setting {
  const char* name;
  int32_t value;
};

// The built library, opened once per test binary through dlopen like the host does.
class TechTestLibrary {
 public:
  static TechTestLibrary& Get();
  QORTechCreateProcessFunction create = nullptr;
  QORTechDestroyProcessFunction destroy = nullptr;
  void* handle = nullptr;

 private:
  TechTestLibrary();
};

struct ProcessDeleter {
  void operator()(TechProcess* p) const { TechTestLibrary::Get().destroy(p); }
};
using ProcessPtr = std::unique_ptr<TechProcess, ProcessDeleter>;

// Created, initialised and tuned; null when creating or initialising fails.
ProcessPtr MakeProcess(const std::string& techId, uint32_t channels, uint32_t rate,
                       const std::vector<Setting>& settings = {});

// Runs all frames through the process in place, in calls of block frames (whole length when 0).
void RunBlocks(TechProcess& process, Channels& audio, uint32_t block = 480,
               const TechCallback* callback = nullptr);

// The host's end of the side chain: checks every record, keeps the last level a sending process
// reports, and gives a receiving process `give` in every sample when that is not negative.
struct SideChain {
  float give = -1.0f;
  int calls = 0;
  uint32_t frames = 0;
  bool wellFormed = true;
  float last = 0.0f;
  const TechCallback* Callback() {
    callback = {&Call, this};
    return &callback;
  }
  static void Call(TechChannel* channel, uint32_t frames, void* context);
  TechCallback callback{};
};

Channels Sine(uint32_t channels, uint32_t frames, double freq, double rate, float amplitude);
// Amplitude of the freq component of samples[from, end), by correlation.
double AmplitudeAt(const std::vector<float>& samples, size_t from, double freq, double rate);
double Db(double ratio);
float MaxAbs(const std::vector<float>& samples, size_t from = 0);
// Largest |x[n] - x[n-1]| over [from, to).
float MaxStep(const std::vector<float>& samples, size_t from, size_t to);
// Frames [from, to) of every channel.
Channels Slice(const Channels& audio, size_t from, size_t to);
// No NaN, infinity or subnormal anywhere.
bool IsClean(const Channels& audio);

}  // namespace techtest
