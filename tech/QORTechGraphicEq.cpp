#include "QORTechGraphicEq.h"

#include <algorithm>

#include "QORTechBiquadCascade.h"
#include "QORTechBlockGrid.h"

void QORTechGraphicEq::Init(uint32_t rate) {
  rate_ = rate;
  for (int b = 0; b < kBands; ++b) {
    bands_[b].SetCoefficients({});
    bands_[b].Reset();
    gains_[b].SetRate(static_cast<float>(rate) / QORTechBlockGrid::kFrames, 0.02f);
    gains_[b].Jump(0.0f);
  }
}

float QORTechGraphicEq::Target(const std::array<float, kBands>& targetsDb, int band) const {
  // Bands too close to Nyquist at low rates cannot be shaped as designed; they stay flat.
  return kCenters[band] < 0.45 * rate_ ? targetsDb[band] : 0.0f;
}

void QORTechGraphicEq::Step(const std::array<float, kBands>& targetsDb, bool jump) {
  for (int b = 0; b < kBands; ++b) {
    const float target = Target(targetsDb, b);
    if (jump ? gains_[b].JumpTo(target) : gains_[b].Step(target, 0.001f)) {
      bands_[b].SetCoefficients(QORTechBiquad::Peaking(rate_, kCenters[b], gains_[b].Value(), kQ));
    }
    if (gains_[b].Value() == 0.0f) bands_[b].Reset();
  }
}

void QORTechGraphicEq::Process(float* const* channels, uint32_t channelCount, uint32_t frames) {
  channelCount = std::min(channelCount, QORTechBiquad::kMaxChannels);
  QORTechBiquadCascade cascade;
  for (int b = 0; b < kBands; ++b) {
    if (gains_[b].Value() != 0.0f) cascade.Add(bands_[b]);
  }
  cascade.Process(channels, channelCount, frames);
}

bool QORTechGraphicEq::Settled(const std::array<float, kBands>& targetsDb) const {
  for (int b = 0; b < kBands; ++b) {
    if (gains_[b].Value() != Target(targetsDb, b)) return false;
  }
  return true;
}
