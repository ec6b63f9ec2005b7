#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace CLI {
class App;
}

// `qorapo sample OUT`: a few seconds of music-like stereo material made here, so the demonstration
// needs no download: a chord progression with harmonics, a bass line, drums from noise bursts and
// a pitch-dropping kick, voices panned across the stereo image. The same every time.
class QORHostSampleCommand {
 public:
  CLI::App* Register(CLI::App& app);
  int Run();

  // Interleaved stereo at rate, peak normalised to -3 dBFS; never a period of digital silence.
  static std::vector<float> Generate(double seconds, int rate);

 private:
  std::string output_;
  double seconds_ = 6.0;
  int rate_ = 48000;
};
