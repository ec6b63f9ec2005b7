#pragma once

#include <cstdint>

#include "QORTechBiquad.h"
#include "QORTechRamp.h"

// Loudness equalisation: a slow leveller that moves the programme toward a target level, and bass
// and treble shelves that grow as the programme gets quieter, as hearing needs at low levels.
class QORTechLoudness {
 public:
  void Init(uint32_t rate, uint32_t subBlock);
  void Process(float* const* channels, uint32_t channelCount, uint32_t frames, bool enabled,
               float targetDb);
  float LevelDb() const { return levelDb_; }

 private:
  uint32_t rate_ = 48000;
  float levelCoefficient_ = 0.0f;
  double meanSquare_ = 0.0;
  float levelDb_ = -120.0f;
  float levellerTarget_ = 0.0f;
  QORTechRamp leveller_;  // dB
  QORTechRamp bass_;      // dB
  QORTechRamp treble_;    // dB
  QORTechBiquad bassShelf_;
  QORTechBiquad trebleShelf_;
};
