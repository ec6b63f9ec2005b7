#include "QORTechLevelStages.h"

#include "QORTechBiquadCascade.h"
#include "QORTechBlockGrid.h"

void QORTechLevelStages::AddLevelControls(QORTechControls& c, const char* prefix) {
  loudEnable_ = c.AddNamed({nullptr, kTechControlSwitch, 0, 1, 0}, "%s-AmploHD Enable", prefix);
  loudTarget_ = c.AddNamed({nullptr, kTechControlHundredths, -3000, -1000, -2000},
                           "%s-AmploHD Target Level", prefix);
  bassEnable_ =
      c.AddNamed({nullptr, kTechControlSwitch, 0, 1, 0}, "%s-GravHD Boost Enable", prefix);
  bassLevel_ =
      c.AddNamed({nullptr, kTechControlHundredths, 0, 1200, 600}, "%s-GravHD Boost Level", prefix);
}

void QORTechLevelStages::AddLimiterControls(QORTechControls& c, const char* prefix) {
  limiterEnable_ = c.AddNamed({nullptr, kTechControlSwitch, 0, 1, 1}, "%s-Limiter Enable", prefix);
  ceiling_ =
      c.AddNamed({nullptr, kTechControlHundredths, -1200, 0, -100}, "%s-Limiter Ceiling", prefix);
}

void QORTechLevelStages::Init(uint32_t channels, uint32_t rate) {
  loudness_.Init(rate);
  bass_.Init(rate);
  limiter_.Init(channels, rate, 0.0015f);
  limiter_.SetReleaseSeconds(0.1f);
}

void QORTechLevelStages::Begin(const QORTechControls& c) {
  loud_ = c.IsOn(loudEnable_);
  target_ = c.Value(loudTarget_) / 100.0f;
  boost_ = c.IsOn(bassEnable_) ? c.Value(bassLevel_) / 100.0f : 0.0f;
}

void QORTechLevelStages::Process(float* const* channels, uint32_t count, uint32_t frames,
                                 uint32_t at) {
  // Mono and stereo take one pass through the shelves, the leveller's gain and the bass detector's
  // tap; the decisions where a block starts are taken first, as the stages one by one take them.
  if (count <= 2 && frames <= QORTechBlockGrid::kFrames) {
    QORTechBiquadCascade cascade;
    float gains[QORTechBlockGrid::kFrames];
    float mixes[QORTechBlockGrid::kFrames];
    const bool gained =
        loudness_.Prepare(channels, count, frames, at, loud_, target_, cascade, gains);
    const uint32_t split = cascade.Count();
    bass_.Prepare(at, boost_, cascade);
    cascade.ProcessTapped(channels, count, frames, split, gained ? gains : nullptr, 1.0f / count,
                          mixes);
    bass_.Detect(mixes, frames);
    return;
  }
  loudness_.Process(channels, count, frames, at, loud_, target_);
  bass_.Process(channels, count, frames, at, boost_);
}

void QORTechLevelStages::Limit(const QORTechControls& c, float* const* channels, uint32_t frames) {
  limiter_.SetCeiling(c.IsOn(limiterEnable_), c.Value(ceiling_));
  limiter_.Process(channels, frames);
}

void QORTechLevelStages::TakeState(const QORTechLevelStages& other) {
  loudness_ = other.loudness_;
  bass_ = other.bass_;
  limiter_.TakeState(other.limiter_);
}
