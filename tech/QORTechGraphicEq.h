#pragma once

#include <array>
#include <cstdint>

#include "QORTechBiquad.h"
#include "QORTechRamp.h"

class QORTechBiquadCascade;

// Ten octave-spaced peaking bands. Gains glide toward their targets once per sub-block; a band at
// 0 dB is skipped, so an all-flat equaliser is bit-exact.
class QORTechGraphicEq {
 public:
  static constexpr int kBands = 10;
  static constexpr std::array<double, kBands> kCenters = {31.25,  62.5,   125.0,  250.0,  500.0,
                                                          1000.0, 2000.0, 4000.0, 8000.0, 16000.0};
  static constexpr double kQ = 1.41;  // one octave between the -3 dB points of the boost

  void Init(uint32_t rate, uint32_t subBlock);
  // A whole block in sub-blocks of subBlock frames, the gains taking one glide step per sub-block
  // (jump: the first sub-block jumps to the targets). Once every gain sits on its target nothing
  // moves for the rest of the block, so the remaining sub-blocks run as one.
  void Process(float* const* channels, uint32_t channelCount, uint32_t frames, uint32_t subBlock,
               const std::array<float, kBands>& targetsDb, bool jump);

 private:
  float Target(const std::array<float, kBands>& targetsDb, int band) const;
  // One glide step; the bands that are not flat go into cascade.
  void Step(const std::array<float, kBands>& targetsDb, bool jump, QORTechBiquadCascade& cascade);
  bool Settled(const std::array<float, kBands>& targetsDb) const;

  uint32_t rate_ = 48000;
  std::array<QORTechBiquad, kBands> bands_;
  std::array<QORTechRamp, kBands> gains_;
};
