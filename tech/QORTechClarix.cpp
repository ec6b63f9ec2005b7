#include "QORTechClarix.h"

#include <algorithm>
#include <cmath>

namespace {
constexpr float kCeiling = 0.8912509f;  // -1 dBFS
constexpr double kPresenceQ = 0.8;
constexpr float kAttackSeconds = 0.3f;   // the room gets loud: follow soon
constexpr float kReleaseSeconds = 1.0f;  // it quietens: let go more slowly
}  // namespace

QORTechClarix::QORTechClarix() : QORTechProcessBase(kTechId) {
  QORTechControls& c = Controls();
  enable_ = c.Add({"CLARIX-Enable", kTechControlSwitch, 0, 1, 1});
  threshold_ = c.Add({"CLARIX-Threshold", kTechControlHundredths, -8000, -2000, -5000});
  presence_ = c.Add({"CLARIX-Presence Boost", kTechControlHundredths, 0, 1200, 600});
  level_ = c.Add({"CLARIX-Level Boost", kTechControlHundredths, 0, 1200, 600});
}

bool QORTechClarix::OnInit(uint32_t, uint32_t rate) {
  presenceHz_ = std::min(3000.0f, 0.4f * static_cast<float>(rate));
  const float steps = static_cast<float>(rate) / QORTechBlockGrid::kFrames;
  presenceDb_.SetRate(steps, 0.05f);
  levelDb_.SetRate(steps, 0.05f);
  presenceDb_.Jump(0.0f);
  levelDb_.Jump(0.0f);
  gainFrom_ = 1.0f;
  gainTo_ = 1.0f;
  neutral_ = true;
  ambient_ = 0.0f;
  roomPeak_ = 0.0f;
  envelope_ = 0.0f;
  envelopeRelease_ = std::exp(-1.0f / (0.1f * static_cast<float>(rate)));
  filter_.Reset();
  filter_.SetCoefficients(QORTechBiquad::Peaking(rate, presenceHz_, 0.0, kPresenceQ));
  return true;
}

void QORTechClarix::Design() {
  filter_.SetCoefficients(
      QORTechBiquad::Peaking(Rate(), presenceHz_, presenceDb_.Value(), kPresenceQ));
}

void QORTechClarix::ReceiveSide(uint32_t frames, const TechCallback* callback) {
  std::fill_n(side_.begin(), frames, 0.0f);
  // No side chain means nothing is known about the room: treat it as quiet.
  if (callback == nullptr || callback->function == nullptr) return;
  sideRecord_ = {side_.data(), kTechSideChainRole, 0, nullptr};
  callback->function(&sideRecord_, frames, callback->context);
}

float QORTechClarix::SidePeak(uint32_t from, uint32_t frames) const {
  // The capture side sends its level as sample values; the peak survives resampling and a
  // partly filled record (the pipe pads what it lacks with zeros).
  float peak = 0.0f;
  for (uint32_t i = from; i < from + frames; ++i) {
    const float v = std::fabs(side_[i]);
    if (std::isfinite(v)) peak = std::max(peak, v);
  }
  return std::min(peak, 1.0f);
}

void QORTechClarix::Track(float measured, uint32_t frames) {
  // Smoothed in amplitude, not in dB, so that letting go of a loud room takes seconds.
  const float seconds = measured > ambient_ ? kAttackSeconds : kReleaseSeconds;
  const float coeff = 1.0f - std::exp(-static_cast<float>(frames) / (seconds * Rate()));
  ambient_ += coeff * (measured - ambient_);
  if (ambient_ < 1e-7f) ambient_ = 0.0f;
}

void QORTechClarix::OnProcess(float* const* channels, uint32_t frames,
                              const TechCallback* callback) {
  for (uint32_t offset = 0; offset < frames; offset += kSideChunk) {
    const uint32_t n = std::min(kSideChunk, frames - offset);
    ReceiveSide(n, callback);
    Run(channels, offset, n);
  }
}

void QORTechClarix::Run(float* const* ch, uint32_t start, uint32_t frames) {
  const QORTechControls& c = Controls();
  const uint32_t count = Channels();
  Grid().Walk(frames, [&](uint32_t piece, uint32_t n, uint32_t at) {
    const uint32_t offset = start + piece;
    if (at == 0) {
      // The room as heard up to this block decides the lift over it.
      Track(roomPeak_, QORTechBlockGrid::kFrames);
      roomPeak_ = 0.0f;
      const float thresholdDb = c.Value(threshold_) / 100.0f;
      const float ambientDb = ambient_ > 0.0f ? 20.0f * std::log10(ambient_) : kSilentDb;
      const float amount =
          c.IsOn(enable_) ? std::clamp((ambientDb - thresholdDb) / kFullEffectSpanDb, 0.0f, 1.0f)
                          : 0.0f;
      const float presenceTarget = amount * c.Value(presence_) / 100.0f;
      const float levelTarget = amount * c.Value(level_) / 100.0f;
      const float levelBefore = levelDb_.Value();
      const bool fresh = IsFresh() && offset == 0;
      const bool moved =
          fresh ? presenceDb_.JumpTo(presenceTarget) : presenceDb_.Step(presenceTarget, 0.005f);
      if (fresh) {
        levelDb_.JumpTo(levelTarget);
      } else {
        levelDb_.Step(levelTarget, 0.005f);
      }
      if (moved) Design();
      gainFrom_ = std::pow(10.0f, (fresh ? levelDb_.Value() : levelBefore) / 20.0f);
      gainTo_ = std::pow(10.0f, levelDb_.Value() / 20.0f);
      neutral_ = presenceDb_.Value() == 0.0f && levelDb_.Value() == 0.0f && levelBefore == 0.0f;
    }
    roomPeak_ = std::max(roomPeak_, SidePeak(piece, n));
    const float slope = (gainTo_ - gainFrom_) / static_cast<float>(QORTechBlockGrid::kFrames);

    std::array<float, kMaxChannels> y{};
    for (uint32_t k = 0; k < n; ++k) {
      const uint32_t i = offset + k;
      float peak = 0.0f;
      // The filter runs even when neutral so that a lift starts from warm state.
      for (uint32_t o = 0; o < count; ++o) {
        y[o] = filter_.ProcessSample(ch[o][i], o);
        peak = std::max(peak, std::fabs(y[o]));
      }
      envelope_ = std::max(peak, envelope_ * envelopeRelease_);
      if (neutral_) continue;
      float gain = gainFrom_ + slope * static_cast<float>(at + k + 1);
      if (envelope_ * gain > kCeiling) gain = std::max(1.0f, kCeiling / envelope_);
      for (uint32_t o = 0; o < count; ++o) ch[o][i] = y[o] * gain;
    }
  });
}

void QORTechClarix::OnTakeState(QORTechProcessBase& other) {
  auto& peer = static_cast<QORTechClarix&>(other);
  ambient_ = peer.ambient_;
  roomPeak_ = peer.roomPeak_;
  filter_ = peer.filter_;
  presenceDb_ = peer.presenceDb_;
  levelDb_ = peer.levelDb_;
  envelope_ = peer.envelope_;
  gainFrom_ = peer.gainFrom_;
  gainTo_ = peer.gainTo_;
  neutral_ = peer.neutral_;
}
