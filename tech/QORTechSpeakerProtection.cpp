#include "QORTechSpeakerProtection.h"

#include <algorithm>
#include <array>
#include <cmath>

#include "QORTechBiquadCascade.h"

namespace {
constexpr double kButterworthQ1 = 0.5411961;  // fourth-order Butterworth as two sections
constexpr double kButterworthQ2 = 1.3065630;
}  // namespace

QORTechSpeakerProtection::QORTechSpeakerProtection() : QORTechProcessBase(kTechId) {
  QORTechControls& c = Controls();
  enable_ = c.Add({"SP-Enable", kTechControlSwitch, 0, 1, 1});
  ceiling_ = c.Add({"SP-Ceiling", kTechControlHundredths, -2400, 0, -300});
  cutoff_ = c.Add({"SP-High-Pass Frequency", kTechControlInteger, 20, 1000, 100});
  release_ = c.Add({"SP-Release", kTechControlInteger, 10, 2000, 100});
}

bool QORTechSpeakerProtection::OnInit(uint32_t channels, uint32_t rate) {
  cutoffRamp_.SetRate(static_cast<float>(rate) / QORTechBlockGrid::kFrames, 0.05f);
  cutoffRamp_.Jump(std::log2(static_cast<float>(Controls().Value(cutoff_))));
  const double f = std::exp2(cutoffRamp_.Value());
  highPassA_.SetCoefficients(QORTechBiquad::HighPass(rate, f, kButterworthQ1));
  highPassB_.SetCoefficients(QORTechBiquad::HighPass(rate, f, kButterworthQ2));
  highPassA_.Reset();
  highPassB_.Reset();
  limiter_.Init(channels, rate, 0.002f);
  return true;
}

void QORTechSpeakerProtection::OnProcess(float* const* channels, uint32_t frames,
                                         const TechCallback*) {
  const QORTechControls& c = Controls();
  const uint32_t count = Channels();
  const bool on = c.IsOn(enable_);
  const float target = std::log2(static_cast<float>(c.Value(cutoff_)));
  // Walked while off too, so that the grid stays where the stream is.
  Grid().Walk(frames, [&](uint32_t offset, uint32_t n, uint32_t at) {
    if (!on) return;
    const bool fresh = IsFresh() && offset == 0;
    if (at == 0 && (fresh ? cutoffRamp_.JumpTo(target) : cutoffRamp_.Step(target, 0.0005f))) {
      const double f = std::exp2(cutoffRamp_.Value());
      highPassA_.SetCoefficients(QORTechBiquad::HighPass(Rate(), f, kButterworthQ1));
      highPassB_.SetCoefficients(QORTechBiquad::HighPass(Rate(), f, kButterworthQ2));
    }
    std::array<float*, QORTechBiquad::kMaxChannels> sub{};
    for (uint32_t ch = 0; ch < count; ++ch) sub[ch] = channels[ch] + offset;
    QORTechBiquadCascade highPass;
    highPass.Add(highPassA_);
    highPass.Add(highPassB_);
    highPass.Process(sub.data(), count, n);
  });
  limiter_.SetCeiling(on, c.Value(ceiling_));
  limiter_.SetReleaseSeconds(c.Value(release_) / 1000.0f);
  limiter_.Process(channels, frames);
}

void QORTechSpeakerProtection::OnTakeState(QORTechProcessBase& other) {
  auto& peer = static_cast<QORTechSpeakerProtection&>(other);
  highPassA_ = peer.highPassA_;
  highPassB_ = peer.highPassB_;
  cutoffRamp_ = peer.cutoffRamp_;
  limiter_.TakeState(peer.limiter_);
}
