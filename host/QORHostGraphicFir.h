#pragma once

#include <string>
#include <vector>

#include "QORHostEqFile.h"

// A graphic equaliser curve (AutoEQ's `GraphicEQ:` points, frequency in Hz and gain in dB) as a
// minimum-phase FIR filter for the convolution process: no pre-ringing, and its energy comes
// first, so the zero-latency convolution hears it at once.
class QORHostGraphicFir {
 public:
  using Point = QORHostEqFile::Point;

  // Taps for a rate: 4096 at 48 kHz (85 ms, enough for a curve's bass within 0.5 dB from 20 Hz),
  // scaled with the rate.
  static int DefaultTaps(int rate);
  // The curve, linear in dB between points on a log-frequency axis and constant beyond its ends
  // (points at or above half the rate are ignored), as taps samples at rate. The magnitude is
  // sampled on a dense grid, made minimum phase by folding its real cepstrum, and the impulse's
  // last tenth faded out with a half Hann window. False with the reason for fewer than 2 points,
  // frequencies that do not rise, a non-finite gain, none below half the rate, or taps under 16.
  static bool Design(const std::vector<Point>& points, int rate, int taps, std::vector<float>* fir,
                     std::string* error);
  // The filter as a 32-bit float WAV at rate, the same in each of channels; false with the reason.
  static bool WriteWav(const std::string& path, const std::vector<float>& fir, int rate,
                       int channels, std::string* error);
};
