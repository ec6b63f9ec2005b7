// The bare technology library on an audio file: the processes a mode lists for a position, tuned
// with the mode's controls, run on the whole file in 10 ms periods straight through the library's
// contract (deinterleaved and interleaved again, as any caller must). Prints the processor time of
// the processing alone, so that a host's time on the same file splits into library and the rest.
//
//   tech_file_run LIBRARY CONFIGURATION MODE SPEAKER IN TECH_ID...
#include <dlfcn.h>
#include <sndfile.h>
#include <time.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "chain/QORTechProcess.h"
#include "settings/QORAPOConfigurationFile.h"

namespace {

double CpuSeconds() {
  timespec t{};
  ::clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) + 1e-9 * static_cast<double>(t.tv_nsec);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 7) {
    std::fprintf(stderr,
                 "usage: tech_file_run LIBRARY CONFIGURATION MODE SPEAKER IN TECH_ID...\n"
                 "  e.g. tech_file_run build/qltech64.so bench/qorapo-bench.xml VAPO3-Music "
                 "VAPO3-Speakers in.wav ZR3D\n");
    return 2;
  }
  void* library = dlopen(argv[1], RTLD_NOW | RTLD_LOCAL);
  if (library == nullptr) {
    std::fprintf(stderr, "tech_file_run: cannot load %s: %s\n", argv[1], dlerror());
    return 1;
  }
  const auto create =
      reinterpret_cast<QORTechCreateProcessFunction>(dlsym(library, kQORTechCreateProcessName));
  const auto destroy =
      reinterpret_cast<QORTechDestroyProcessFunction>(dlsym(library, kQORTechDestroyProcessName));

  std::ifstream file(argv[2]);
  std::stringstream text;
  text << file.rdbuf();
  QORAPOConfigurationFile configuration;
  configuration.LoadFromText(text.str(), 0, 0);
  std::shared_ptr<QORAPOOperatingMode> mode;
  if (!file || !configuration.FindOperatingMode(QORAPOModeIdentity(argv[3], argv[4]), mode) ||
      mode == nullptr) {
    std::fprintf(stderr, "tech_file_run: no mode %s/%s in %s\n", argv[3], argv[4], argv[2]);
    return 1;
  }

  SF_INFO info{};
  SNDFILE* in = sf_open(argv[5], SFM_READ, &info);
  if (in == nullptr) {
    std::fprintf(stderr, "tech_file_run: cannot read %s\n", argv[5]);
    return 1;
  }
  const uint32_t channels = static_cast<uint32_t>(info.channels);
  const uint32_t rate = static_cast<uint32_t>(info.samplerate);
  std::vector<float> interleaved(static_cast<size_t>(info.frames) * channels);
  sf_readf_float(in, interleaved.data(), info.frames);
  sf_close(in);

  std::vector<TechProcess*> processes;
  for (int i = 6; i < argc; ++i) {
    TechProcess* process = nullptr;
    if (!create(argv[i], &process) || !process->Init(channels, rate)) {
      std::fprintf(stderr, "tech_file_run: %s does not run %u channels at %u Hz\n", argv[i],
                   channels, rate);
      return 1;
    }
    for (const auto& [name, value] : mode->GetControls().Values()) {
      const int32_t n = value.GetIndex();
      if (n != -1) {
        process->SetControlInt(value.GetShortName().c_str(), n);
      } else {
        process->SetControlString(value.GetShortName().c_str(), value.GetValueText().c_str());
      }
    }
    processes.push_back(process);
  }

  const uint32_t period = rate / 100;
  std::vector<float> planar(static_cast<size_t>(period) * channels);
  std::vector<TechChannel> records(channels);
  const double start = CpuSeconds();
  for (size_t offset = 0; offset < static_cast<size_t>(info.frames); offset += period) {
    const uint32_t frames =
        static_cast<uint32_t>(std::min<size_t>(period, static_cast<size_t>(info.frames) - offset));
    float* frame = interleaved.data() + offset * channels;
    for (uint32_t c = 0; c < channels; ++c) {
      records[c] = {planar.data() + c * frames, c, 0, c + 1 < channels ? &records[c + 1] : nullptr};
      for (uint32_t f = 0; f < frames; ++f) planar[c * frames + f] = frame[f * channels + c];
    }
    for (TechProcess* process : processes) {
      process->Process(records.data(), records.data(), frames, nullptr);
    }
    for (uint32_t c = 0; c < channels; ++c) {
      for (uint32_t f = 0; f < frames; ++f) frame[f * channels + c] = planar[c * frames + f];
    }
  }
  const double seconds = CpuSeconds() - start;
  for (TechProcess* process : processes) destroy(process);
  std::printf("%.4f\n", seconds);
  return 0;
}
