#include "QORTechZR3D.h"

#include <algorithm>

QORTechZR3D::QORTechZR3D() : QORTechProcessBase(kTechId) {
  QORTechControls& c = Controls();
  eqEnable_ = c.Add({"ZR3D-GEQ Enable", kTechControlSwitch, 0, 1, 0});
  for (int b = 0; b < QORTechGraphicEq::kBands; ++b) {
    eqBands_[b] =
        c.AddNamed({nullptr, kTechControlHundredths, -1200, 1200, 0}, "ZR3D-GEQ Band %d", b + 1);
  }
  stages_.AddLevelControls(c, kTechId);
  width_ = c.Add({"ZR3D-Stereo Width", kTechControlInteger, 0, 200, 100});
  stages_.AddLimiterControls(c, kTechId);
}

bool QORTechZR3D::OnInit(uint32_t channels, uint32_t rate) {
  eq_.Init(rate);
  stages_.Init(channels, rate);
  widthRamp_.SetRate(static_cast<float>(rate) / QORTechBlockGrid::kFrames, 0.03f);
  widthRamp_.Jump(1.0f);
  return true;
}

void QORTechZR3D::ApplyWidth(float* left, float* right, uint32_t frames, uint32_t at) {
  if (at == 0) {
    const float target = static_cast<float>(Controls().Value(width_)) / 100.0f;
    if (IsFresh()) widthRamp_.Jump(target);
    widthBefore_ = widthRamp_.Value();
    widthRamp_.Step(target, 0.0005f);
  }
  const float before = widthBefore_;
  const float after = widthRamp_.Value();
  if (before == 1.0f && after == 1.0f) return;
  const float slope = (after - before) / QORTechBlockGrid::kFrames;
  for (uint32_t i = 0; i < frames; ++i) {
    const float w = before + slope * (at + i + 1);
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
  stages_.Begin(c);
  // A settled equaliser depends on nothing after it, so it runs over the whole call first (its
  // long cascade is the cheap one); a gliding one takes a step per grid block.
  const bool settled = !IsFresh() && eq_.Settled(gains);
  if (settled) eq_.Process(channels, count, frames);
  Grid().Walk(frames, [&](uint32_t offset, uint32_t n, uint32_t at) {
    for (uint32_t ch = 0; ch < count; ++ch) sub_[ch] = channels[ch] + offset;
    if (!settled) {
      if (at == 0) eq_.Step(gains, IsFresh() && offset == 0);
      eq_.Process(sub_.data(), count, n);
    }
    stages_.Process(sub_.data(), count, n, at);
    if (count >= 2) ApplyWidth(sub_[0], sub_[1], n, at);
  });
  stages_.Limit(c, channels, frames);
}

void QORTechZR3D::OnTakeState(QORTechProcessBase& other) {
  auto& peer = static_cast<QORTechZR3D&>(other);
  eq_ = peer.eq_;
  stages_.TakeState(peer.stages_);
  widthRamp_ = peer.widthRamp_;
  widthBefore_ = peer.widthBefore_;
}
