#include "QORTechNUV.h"

#include <algorithm>
#include <cmath>

namespace {
constexpr float kMaxDelaySeconds = 0.0008f;
constexpr float kCentreGain = 0.7071068f;
constexpr float kLfeGain = 0.5f;
}  // namespace

QORTechNUV::QORTechNUV() : QORTechProcessBase(kTechId) {
  QORTechControls& c = Controls();
  enable_ = c.Add({"NUV-Process Enable", kTechControlSwitch, 0, 1, 0});
  level_ = c.Add({"NUV-Crossfeed Level", kTechControlHundredths, -2000, -300, -600});
  delay_ = c.Add({"NUV-Crossfeed Delay", kTechControlInteger, 100, 800, 300});
  cutoff_ = c.Add({"NUV-Crossfeed Cutoff", kTechControlInteger, 300, 2000, 700});
}

bool QORTechNUV::OnInit(uint32_t, uint32_t rate) {
  // Surround paths use twice the front delay; two extra frames for interpolation.
  ringSize_ = static_cast<uint32_t>(std::ceil(2.0f * kMaxDelaySeconds * rate)) + 2;
  ring_.assign(static_cast<size_t>(ringSize_) * kSources, 0.0f);
  write_ = 0;
  const float steps = static_cast<float>(rate) / QORTechBlockGrid::kFrames;
  mix_.SetRate(steps, 0.02f);
  gain_.SetRate(steps, 0.02f);
  delayRamp_.SetRate(steps, 0.05f);
  mix_.Jump(Controls().IsOn(enable_) ? 1.0f : 0.0f);
  mixBefore_ = mix_.Value();
  gain_.Jump(std::pow(10.0f, Controls().Value(level_) / 2000.0f));
  delayRamp_.Jump(Controls().Value(delay_) * 1e-6f * rate);
  filteredCutoff_ = 0;
  UpdateFilter();
  shadow_.Reset();
  return true;
}

void QORTechNUV::UpdateFilter() {
  const int32_t cutoff = Controls().Value(cutoff_);
  if (cutoff == filteredCutoff_) return;
  filteredCutoff_ = cutoff;
  shadow_.SetCoefficients(QORTechBiquad::LowPass(Rate() != 0 ? Rate() : 48000, cutoff, 0.5));
}

float QORTechNUV::Delayed(int source, float delayFrames) const {
  const float position = static_cast<float>(write_) + ringSize_ - delayFrames;
  const uint32_t whole = static_cast<uint32_t>(position);
  const float fraction = position - static_cast<float>(whole);
  const float* ring = &ring_[static_cast<size_t>(source) * ringSize_];
  const float a = ring[whole % ringSize_];
  const float b = ring[(whole + 1) % ringSize_];
  return a + (b - a) * fraction;
}

void QORTechNUV::OnProcess(float* const* ch, uint32_t frames, const TechCallback*) {
  const uint32_t count = Channels();
  if (count < 2) return;  // nothing to place for mono
  const QORTechControls& c = Controls();
  UpdateFilter();
  const bool surround = count >= 6;
  const float mixTarget = c.IsOn(enable_) ? 1.0f : 0.0f;
  const float gainTarget = std::pow(10.0f, c.Value(level_) / 2000.0f);
  const float delayTarget = c.Value(delay_) * 1e-6f * Rate();
  if (IsFresh()) {
    mix_.Jump(mixTarget);
    gain_.Jump(gainTarget);
    delayRamp_.Jump(delayTarget);
  }

  Grid().Walk(frames, [&](uint32_t offset, uint32_t n, uint32_t at) {
    if (at == 0) {
      mixBefore_ = mix_.Value();
      mix_.Step(mixTarget, 0.0005f);
      gain_.Step(gainTarget, 0.0001f);
      delayRamp_.Step(delayTarget, 0.001f);
    }
    const float mixSlope = (mix_.Value() - mixBefore_) / QORTechBlockGrid::kFrames;
    const float g = gain_.Value();
    const float gs = std::sqrt(g);  // surrounds sit further to the side: more crossfeed
    const float norm = 1.0f / (1.0f + g);
    const float d = delayRamp_.Value();

    for (uint32_t k = 0; k < n; ++k) {
      const uint32_t i = offset + k;
      const float mix = mixBefore_ + mixSlope * (at + k + 1);
      const float fl = ch[0][i];
      const float fr = ch[1][i];
      float sl = 0.0f;
      float sr = 0.0f;
      float common = 0.0f;
      if (surround) {
        common = kCentreGain * ch[2][i] + kLfeGain * ch[3][i];
        sl = ch[4][i] + (count >= 8 ? ch[6][i] : 0.0f);
        sr = ch[5][i] + (count >= 8 ? ch[7][i] : 0.0f);
      }
      Push(0, shadow_.ProcessSample(fl, 0));
      Push(1, shadow_.ProcessSample(fr, 1));
      Push(2, shadow_.ProcessSample(sl, 2));
      Push(3, shadow_.ProcessSample(sr, 3));
      float left = fl + common + sl + g * Delayed(1, d);
      float right = fr + common + sr + g * Delayed(0, d);
      if (surround) {
        left += gs * Delayed(3, 2.0f * d);
        right += gs * Delayed(2, 2.0f * d);
      }
      write_ = write_ + 1 == ringSize_ ? 0 : write_ + 1;
      if (mix == 0.0f) continue;  // bypass is exact: the filters keep running for a smooth return
      ch[0][i] = fl + mix * (left * norm - fl);
      ch[1][i] = fr + mix * (right * norm - fr);
      if (surround) {
        for (uint32_t o = 2; o < count; ++o) ch[o][i] *= 1.0f - mix;
      }
    }
  });
}

void QORTechNUV::OnTakeState(QORTechProcessBase& other) {
  auto& peer = static_cast<QORTechNUV&>(other);
  std::copy(peer.ring_.begin(), peer.ring_.end(), ring_.begin());
  write_ = peer.write_;
  shadow_ = peer.shadow_;
  filteredCutoff_ = peer.filteredCutoff_;
  mix_ = peer.mix_;
  gain_ = peer.gain_;
  delayRamp_ = peer.delayRamp_;
  mixBefore_ = peer.mixBefore_;
}
