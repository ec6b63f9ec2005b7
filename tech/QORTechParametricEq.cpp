#include "QORTechParametricEq.h"

#include <cmath>

#include "QORTechBiquadCascade.h"
#include "QORTechBlockGrid.h"

QORTechBiquad::Coefficients QORTechParametricEq::Design(double rate, const Band& band) {
  switch (band.type) {
    case kPeak:
      return QORTechBiquad::Peaking(rate, band.freq, band.gainDb, band.q);
    case kLowShelf:
      return QORTechBiquad::LowShelf(rate, band.freq, band.gainDb);
    case kHighShelf:
      return QORTechBiquad::HighShelf(rate, band.freq, band.gainDb);
    default:
      return {};
  }
}

void QORTechParametricEq::Init(uint32_t rate) {
  rate_ = rate;
  const float steps = static_cast<float>(rate) / QORTechBlockGrid::kFrames;
  for (int b = 0; b < kBands; ++b) {
    filters_[b].SetCoefficients({});
    filters_[b].Reset();
    gains_[b].SetRate(steps, 0.02f);
    octaves_[b].SetRate(steps, 0.02f);
    gains_[b].Jump(0.0f);
    octaves_[b].Jump(std::log2(1000.0f));
    current_[b] = Band{};
  }
}

void QORTechParametricEq::Step(const std::array<Band, kBands>& targets, bool jump) {
  for (int b = 0; b < kBands; ++b) {
    const Band& t = targets[b];
    // A type change passes through 0 dB first so that the response never jumps between shapes.
    const bool typeChanges = t.type != current_[b].type;
    const float gainTarget = typeChanges || t.type == kOff ? 0.0f : t.gainDb;
    const float octaveTarget = std::log2(t.freq);
    bool moved = false;
    if (jump) {
      moved = gains_[b].JumpTo(t.type == kOff ? 0.0f : t.gainDb);
      moved = octaves_[b].JumpTo(octaveTarget) || moved;
      moved = moved || typeChanges;
      current_[b].type = t.type;
    } else {
      moved = gains_[b].Step(gainTarget, 0.001f);
      moved = octaves_[b].Step(octaveTarget, 0.0005f) || moved;
      if (typeChanges && gains_[b].Value() == 0.0f) current_[b].type = t.type;
    }
    if (moved || current_[b].q != t.q) {
      current_[b].gainDb = gains_[b].Value();
      current_[b].freq = std::exp2(octaves_[b].Value());
      current_[b].q = t.q;
      filters_[b].SetCoefficients(Design(rate_, current_[b]));
    }
    if (current_[b].type == kOff || gains_[b].Value() == 0.0f) filters_[b].Reset();
  }
}

void QORTechParametricEq::Process(float* const* channels, uint32_t channelCount, uint32_t frames) {
  QORTechBiquadCascade cascade;
  for (int b = 0; b < kBands; ++b) {
    if (current_[b].type != kOff && gains_[b].Value() != 0.0f) cascade.Add(filters_[b]);
  }
  cascade.Process(channels, channelCount, frames);
}
