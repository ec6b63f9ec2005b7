#include "QORTechGraphicEq.h"

#include "QORTechBiquadCascade.h"

void QORTechGraphicEq::Init(uint32_t rate, uint32_t subBlock) {
  rate_ = rate;
  for (int b = 0; b < kBands; ++b) {
    bands_[b].SetCoefficients({});
    bands_[b].Reset();
    gains_[b].SetRate(static_cast<float>(rate) / subBlock, 0.02f);
    gains_[b].Jump(0.0f);
  }
}

void QORTechGraphicEq::Process(float* const* channels, uint32_t channelCount, uint32_t frames,
                               const std::array<float, kBands>& targetsDb, bool jump) {
  QORTechBiquadCascade cascade;
  for (int b = 0; b < kBands; ++b) {
    // Bands too close to Nyquist at low rates cannot be shaped as designed; they stay flat.
    const bool usable = kCenters[b] < 0.45 * rate_;
    const float target = usable ? targetsDb[b] : 0.0f;
    if (jump ? gains_[b].JumpTo(target) : gains_[b].Step(target, 0.001f)) {
      bands_[b].SetCoefficients(QORTechBiquad::Peaking(rate_, kCenters[b], gains_[b].Value(), kQ));
    }
    if (gains_[b].Value() == 0.0f) {
      bands_[b].Reset();
      continue;
    }
    cascade.Add(bands_[b]);
  }
  cascade.Process(channels, channelCount, frames);
}
