#pragma once

#include <array>
#include <cstdint>

#include "QORTechBiquad.h"
#include "QORTechRamp.h"

// Ten octave-spaced peaking bands. Gains glide toward their targets a step per grid block; a band
// at 0 dB is skipped, so an all-flat equaliser is bit-exact.
class QORTechGraphicEq {
 public:
  static constexpr int kBands = 10;
  static constexpr std::array<double, kBands> kCenters = {31.25,  62.5,   125.0,  250.0,  500.0,
                                                          1000.0, 2000.0, 4000.0, 8000.0, 16000.0};
  static constexpr double kQ = 1.41;  // one octave between the -3 dB points of the boost

  void Init(uint32_t rate);
  // One glide step toward the targets, where a grid block starts (jump: straight to them).
  void Step(const std::array<float, kBands>& targetsDb, bool jump);
  void Process(float* const* channels, uint32_t channelCount, uint32_t frames);
  // True when every gain sits on its target: steps change nothing, so a whole call may run as one.
  bool Settled(const std::array<float, kBands>& targetsDb) const;

 private:
  float Target(const std::array<float, kBands>& targetsDb, int band) const;

  uint32_t rate_ = 48000;
  std::array<QORTechBiquad, kBands> bands_;
  std::array<QORTechRamp, kBands> gains_;
};
