#pragma once

#include <cstdint>

#include "QORTechBassBoost.h"
#include "QORTechControls.h"
#include "QORTechLimiter.h"
#include "QORTechLoudness.h"

// Loudness equalisation, bass boost and the output limiter with their controls, shared by the
// render suites, which differ only in the control-name prefix. The limiter's look-ahead is always
// in the path so that the declared latency does not depend on the controls.
class QORTechLevelStages {
 public:
  // "<prefix>-AmploHD ..." and "<prefix>-GravHD ..." controls.
  void AddLevelControls(QORTechControls& controls, const char* prefix);
  // "<prefix>-Limiter ..." controls; separate so that a suite may list its own controls between.
  void AddLimiterControls(QORTechControls& controls, const char* prefix);

  void Init(uint32_t channels, uint32_t rate);
  uint32_t Latency() const { return limiter_.LookAhead(); }
  // Reads the level controls once per call, before its sub-blocks.
  void Begin(const QORTechControls& controls);
  // Loudness, then bass boost, on one piece of a grid block.
  void Process(float* const* channels, uint32_t count, uint32_t frames, uint32_t at);
  // Limits the whole call at its end.
  void Limit(const QORTechControls& controls, float* const* channels, uint32_t frames);
  // Running state only; the control indices are the process's own.
  void TakeState(const QORTechLevelStages& other);

 private:
  int loudEnable_ = 0, loudTarget_ = 0, bassEnable_ = 0, bassLevel_ = 0;
  int limiterEnable_ = 0, ceiling_ = 0;
  bool loud_ = false;
  float target_ = 0.0f;
  float boost_ = 0.0f;
  QORTechLoudness loudness_;
  QORTechBassBoost bass_;
  QORTechLimiter limiter_;
};
