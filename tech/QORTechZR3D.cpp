#include "QORTechZR3D.h"

#include <algorithm>
#include <cmath>

namespace {
const char* const kBandNames[QORTechGraphicEq::kBands] = {
    "ZR3D-GEQ Band 1", "ZR3D-GEQ Band 2", "ZR3D-GEQ Band 3", "ZR3D-GEQ Band 4", "ZR3D-GEQ Band 5",
    "ZR3D-GEQ Band 6", "ZR3D-GEQ Band 7", "ZR3D-GEQ Band 8", "ZR3D-GEQ Band 9", "ZR3D-GEQ Band 10"};
}  // namespace

QORTechZR3D::QORTechZR3D() : QORTechProcessBase(kTechId) {
  QORTechControls& c = Controls();
  eqEnable_ = c.Add({"ZR3D-GEQ Enable", kTechControlSwitch, 0, 1, 0});
  for (int b = 0; b < QORTechGraphicEq::kBands; ++b) {
    eqBands_[b] = c.Add({kBandNames[b], kTechControlHundredths, -1200, 1200, 0});
  }
  loudEnable_ = c.Add({"ZR3D-AmploHD Enable", kTechControlSwitch, 0, 1, 0});
  loudTarget_ = c.Add({"ZR3D-AmploHD Target Level", kTechControlHundredths, -3000, -1000, -2000});
  bassEnable_ = c.Add({"ZR3D-GravHD Boost Enable", kTechControlSwitch, 0, 1, 0});
  bassLevel_ = c.Add({"ZR3D-GravHD Boost Level", kTechControlHundredths, 0, 1200, 600});
  width_ = c.Add({"ZR3D-Stereo Width", kTechControlInteger, 0, 200, 100});
  limiterEnable_ = c.Add({"ZR3D-Limiter Enable", kTechControlSwitch, 0, 1, 1});
  limiterCeiling_ = c.Add({"ZR3D-Limiter Ceiling", kTechControlHundredths, -1200, 0, -100});
}

bool QORTechZR3D::OnInit(uint32_t channels, uint32_t rate) {
  eq_.Init(rate, kSubBlock);
  loudness_.Init(rate, kSubBlock);
  bass_.Init(rate, kSubBlock);
  widthRamp_.SetRate(static_cast<float>(rate) / kSubBlock, 0.03f);
  widthRamp_.Jump(1.0f);
  limiter_.Init(channels, rate, 0.0015f);
  limiter_.SetReleaseSeconds(0.1f);
  return true;
}

void QORTechZR3D::ApplyWidth(float* left, float* right, uint32_t frames) {
  const float target = static_cast<float>(Controls().Value(width_)) / 100.0f;
  if (IsFresh()) widthRamp_.Jump(target);
  const float before = widthRamp_.Value();
  widthRamp_.Step(target, 0.0005f);
  const float after = widthRamp_.Value();
  if (before == 1.0f && after == 1.0f) return;
  const float slope = (after - before) / frames;
  for (uint32_t i = 0; i < frames; ++i) {
    const float w = before + slope * (i + 1);
    const float mid = 0.5f * (left[i] + right[i]);
    const float side = 0.5f * (left[i] - right[i]) * w;
    left[i] = mid + side;
    right[i] = mid - side;
  }
}

void QORTechZR3D::OnProcess(float* const* channels, uint32_t frames, const TechCallback*) {
  const QORTechControls& c = Controls();
  const uint32_t count = Channels();
  std::array<float, QORTechGraphicEq::kBands> gains{};
  if (c.IsOn(eqEnable_)) {
    for (int b = 0; b < QORTechGraphicEq::kBands; ++b) gains[b] = c.Value(eqBands_[b]) / 100.0f;
  }
  const bool loud = c.IsOn(loudEnable_);
  const float loudTarget = c.Value(loudTarget_) / 100.0f;
  const float boost = c.IsOn(bassEnable_) ? c.Value(bassLevel_) / 100.0f : 0.0f;

  for (uint32_t offset = 0; offset < frames; offset += kSubBlock) {
    const uint32_t n = std::min(kSubBlock, frames - offset);
    for (uint32_t ch = 0; ch < count; ++ch) sub_[ch] = channels[ch] + offset;
    eq_.Process(sub_.data(), count, n, gains, IsFresh() && offset == 0);
    loudness_.Process(sub_.data(), count, n, loud, loudTarget);
    bass_.Process(sub_.data(), count, n, boost);
    if (count >= 2) ApplyWidth(sub_[0], sub_[1], n);
  }
  // Off means no limiting, but the look-ahead delay stays so the latency never changes.
  limiter_.SetCeiling(c.IsOn(limiterEnable_) ? std::pow(10.0f, c.Value(limiterCeiling_) / 2000.0f)
                                             : 1e30f);
  limiter_.Process(channels, frames);
}

void QORTechZR3D::OnTakeState(QORTechProcessBase& other) {
  auto& peer = static_cast<QORTechZR3D&>(other);
  eq_ = peer.eq_;
  loudness_ = peer.loudness_;
  bass_ = peer.bass_;
  widthRamp_ = peer.widthRamp_;
  limiter_.TakeState(peer.limiter_);
}
