#pragma once

#include <array>

#include "QORTechBassBoost.h"
#include "QORTechGraphicEq.h"
#include "QORTechLimiter.h"
#include "QORTechLoudness.h"
#include "QORTechProcessBase.h"
#include "QORTechRamp.h"

// Render enhancement suite: graphic equaliser, loudness equalisation, bass boost, stereo width and
// an output limiter, in that order. The limiter's look-ahead is always in the path so that the
// declared latency does not depend on the controls.
class QORTechZR3D : public QORTechProcessBase {
 public:
  static constexpr char kTechId[] = "ZR3D";
  static constexpr uint32_t kSubBlock = 32;

  QORTechZR3D();
  uint32_t GetLatency() override { return limiter_.LookAhead(); }

 protected:
  bool OnInit(uint32_t channels, uint32_t rate) override;
  void OnProcess(float* const* channels, uint32_t frames, const TechCallback* callback) override;
  void OnTakeState(QORTechProcessBase& other) override;

 private:
  void ApplyWidth(float* left, float* right, uint32_t frames);

  int eqEnable_;
  std::array<int, QORTechGraphicEq::kBands> eqBands_{};
  int loudEnable_;
  int loudTarget_;
  int bassEnable_;
  int bassLevel_;
  int width_;
  int limiterEnable_;
  int limiterCeiling_;

  QORTechGraphicEq eq_;
  QORTechLoudness loudness_;
  QORTechBassBoost bass_;
  QORTechRamp widthRamp_;
  QORTechLimiter limiter_;
  std::array<float*, kMaxChannels> sub_{};
};
