#include "QORTechGraphicEq.h"

#include <algorithm>

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

float QORTechGraphicEq::Target(const std::array<float, kBands>& targetsDb, int band) const {
  // Bands too close to Nyquist at low rates cannot be shaped as designed; they stay flat.
  return kCenters[band] < 0.45 * rate_ ? targetsDb[band] : 0.0f;
}

void QORTechGraphicEq::Step(const std::array<float, kBands>& targetsDb, bool jump,
                            QORTechBiquadCascade& cascade) {
  for (int b = 0; b < kBands; ++b) {
    const float target = Target(targetsDb, b);
    if (jump ? gains_[b].JumpTo(target) : gains_[b].Step(target, 0.001f)) {
      bands_[b].SetCoefficients(QORTechBiquad::Peaking(rate_, kCenters[b], gains_[b].Value(), kQ));
    }
    if (gains_[b].Value() == 0.0f) {
      bands_[b].Reset();
      continue;
    }
    cascade.Add(bands_[b]);
  }
}

bool QORTechGraphicEq::Settled(const std::array<float, kBands>& targetsDb) const {
  for (int b = 0; b < kBands; ++b) {
    if (gains_[b].Value() != Target(targetsDb, b)) return false;
  }
  return true;
}

void QORTechGraphicEq::Process(float* const* channels, uint32_t channelCount, uint32_t frames,
                               uint32_t subBlock, const std::array<float, kBands>& targetsDb,
                               bool jump) {
  std::array<float*, QORTechBiquad::kMaxChannels> sub{};
  channelCount = std::min(channelCount, QORTechBiquad::kMaxChannels);
  for (uint32_t offset = 0; offset < frames; offset += subBlock) {
    // A settled step changes no coefficient and resets only bands that are already at rest.
    const bool rest = !(jump && offset == 0) && Settled(targetsDb);
    const uint32_t n = rest ? frames - offset : std::min(subBlock, frames - offset);
    for (uint32_t ch = 0; ch < channelCount; ++ch) sub[ch] = channels[ch] + offset;
    QORTechBiquadCascade cascade;
    Step(targetsDb, jump && offset == 0, cascade);
    cascade.Process(sub.data(), channelCount, n);
    if (rest) break;
  }
}
