#pragma once

#include <cstdint>
#include <string>
#include <vector>

class QORHostEngine;

// The frequency response of whatever the engine's objects run: an excitation (an impulse or an
// exponential sweep) goes through them period by period, and the transfer function is the
// spectrum of what came out over the spectrum of what went in.
class QORHostResponse {
 public:
  enum class Signal { kImpulse, kSweep };

  struct Point {
    double hz = 0.0;
    double db = 0.0;
    double phaseDeg = 0.0;  // with the reported latency taken out
  };

  // The excitation at rate: an impulse of the given peak at frame 0, or an exponential sweep of
  // that peak from 10 Hz to just below half the rate, with short fades at both ends.
  static std::vector<float> Excitation(Signal signal, int rate, double peak);

  // Runs excitation through the engine (locked, two or more channels, every channel fed alike)
  // followed by zeros for the latency and tailFrames; returns channel's output.
  static std::vector<float> Measure(QORHostEngine& engine, int channels, uint32_t periodFrames,
                                    const std::vector<float>& excitation, int64_t latencyFrames,
                                    int64_t tailFrames, int channel);

  // H = FFT(output) / FFT(input) over a power-of-two length holding the longer of the two, read
  // at each frequency (linear between bins). latencyFrames is taken out of the phase.
  static std::vector<Point> TransferFunction(const std::vector<float>& input,
                                             const std::vector<float>& output, int rate,
                                             int64_t latencyFrames,
                                             const std::vector<double>& frequencies);

  // count frequencies spaced evenly on a log axis from low to high, both included.
  static std::vector<double> LogFrequencies(double low, double high, int count);
};
