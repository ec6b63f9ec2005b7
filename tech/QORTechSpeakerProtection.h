#pragma once

#include "QORTechBiquad.h"
#include "QORTechLimiter.h"
#include "QORTechProcessBase.h"
#include "QORTechRamp.h"

// Keeps a small speaker inside its limits: a fourth-order high-pass removes the low frequencies
// that drive the cone past its excursion, then a look-ahead limiter holds the peak ceiling.
class QORTechSpeakerProtection : public QORTechProcessBase {
 public:
  static constexpr char kTechId[] = "QOR Speaker Protection";

  QORTechSpeakerProtection();
  uint32_t GetLatency() override { return limiter_.LookAhead(); }

 protected:
  bool OnInit(uint32_t channels, uint32_t rate) override;
  void OnProcess(float* const* channels, uint32_t frames, const TechCallback* callback) override;
  void OnTakeState(QORTechProcessBase& other) override;

 private:
  int enable_;
  int ceiling_;
  int cutoff_;
  int release_;
  QORTechBiquad highPassA_;
  QORTechBiquad highPassB_;
  QORTechRamp cutoffRamp_;  // log2 of the cutoff frequency
  QORTechLimiter limiter_;
};
