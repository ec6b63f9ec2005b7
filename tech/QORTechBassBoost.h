#pragma once

#include <cstdint>

#include "QORTechBiquad.h"
#include "QORTechBiquadCascade.h"
#include "QORTechRamp.h"

// Bass enhancement: a low shelf whose boost shrinks while the bass itself is already loud, so the
// added energy leaves headroom instead of driving the output into clipping.
class QORTechBassBoost {
 public:
  void Init(uint32_t rate);
  // One piece of a grid block, at its place in the block: where a block starts, the bass heard
  // before it sets the boost for this one.
  void Process(float* const* channels, uint32_t channelCount, uint32_t frames, uint32_t at,
               float boostDb);
  float BoostDb() const { return boost_.Value(); }
  // Process in parts, for a caller that runs the shelf in a pass of its own: the decision where a
  // block starts, the shelf joining `cascade` when it boosts; then the detector on the channels'
  // mean (each frame's channels summed in float, times 1 / channelCount) before the shelf.
  void Prepare(uint32_t at, float boostDb, QORTechBiquadCascade& cascade);
  void Detect(const float* mixes, uint32_t frames);

 private:
  uint32_t rate_ = 48000;
  float release_ = 0.0f;
  float envelope_ = 0.0f;
  QORTechBiquad detector_;  // low band of the channel mix
  QORTechShelfCorner corner_;
  QORTechBiquad shelf_;
  QORTechRamp boost_;
};
