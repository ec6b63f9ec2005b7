#pragma once

#include <cstdint>

#include "QORTechBiquad.h"
#include "QORTechBiquadCascade.h"
#include "QORTechRamp.h"

// Loudness equalisation: a slow leveller that moves the programme toward a target level, and bass
// and treble shelves that grow as the programme gets quieter, as hearing needs at low levels.
class QORTechLoudness {
 public:
  void Init(uint32_t rate);
  // One piece of a grid block, at its place in the block: where a block starts, the level read
  // over the blocks before it sets the gains for this one.
  void Process(float* const* channels, uint32_t channelCount, uint32_t frames, uint32_t at,
               bool enabled, float targetDb);
  // Process in parts, for a caller that runs the shelves in a pass of its own: the decisions and
  // the level reading; the shelves that are on join `shelves`, and when the leveller's gain is not
  // unity, gains receives each frame's and the result is true.
  bool Prepare(const float* const* channels, uint32_t channelCount, uint32_t frames, uint32_t at,
               bool enabled, float targetDb, QORTechBiquadCascade& shelves, float* gains);
  float LevelDb() const { return levelDb_; }

 private:
  void StartBlock(uint32_t channelCount, bool enabled, float targetDb);

  uint32_t rate_ = 48000;
  float levelCoefficient_ = 0.0f;
  double meanSquare_ = 0.0;
  float levelDb_ = -120.0f;
  float levellerTarget_ = 0.0f;
  double blockSum_ = 0.0;  // squares of the block so far, all channels
  uint32_t blockFrames_ = 0;
  float gainBefore_ = 1.0f;  // the leveller's gain glides from this to gainAfter_ over the block
  float gainAfter_ = 1.0f;
  QORTechRamp leveller_;  // dB
  QORTechRamp bass_;      // dB
  QORTechRamp treble_;    // dB
  QORTechShelfCorner bassCorner_;
  QORTechShelfCorner trebleCorner_;
  float gainDb_ = 0.0f;  // the leveller setting gainAfter_ was worked out for
  QORTechBiquad bassShelf_;
  QORTechBiquad trebleShelf_;
};
