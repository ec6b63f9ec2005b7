#pragma once

#include <array>
#include <cstdint>

#include "QORTechBiquad.h"
#include "QORTechRamp.h"

// Five parametric bands: peaking (frequency, gain, Q) or shelving (frequency, gain). Gain and
// frequency glide a step per grid block; a band at 0 dB or switched off is skipped.
class QORTechParametricEq {
 public:
  static constexpr int kBands = 5;
  enum Type : int32_t { kOff = 0, kPeak = 1, kLowShelf = 2, kHighShelf = 3 };

  struct Band {
    int32_t type = kOff;
    float freq = 1000.0f;
    float gainDb = 0.0f;
    float q = 0.707f;
  };

  static QORTechBiquad::Coefficients Design(double rate, const Band& band);

  void Init(uint32_t rate);
  // One glide step toward targets, where a grid block starts (jump: straight to them).
  void Step(const std::array<Band, kBands>& targets, bool jump);
  void Process(float* const* channels, uint32_t channelCount, uint32_t frames);

 private:
  uint32_t rate_ = 48000;
  std::array<QORTechBiquad, kBands> filters_;
  std::array<QORTechRamp, kBands> gains_;
  std::array<QORTechRamp, kBands> octaves_;  // log2 of the frequency
  std::array<Band, kBands> current_{};
};
