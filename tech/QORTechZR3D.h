#pragma once

#include <array>

#include "QORTechGraphicEq.h"
#include "QORTechLevelStages.h"
#include "QORTechProcessBase.h"
#include "QORTechRamp.h"

// Render enhancement suite: graphic equaliser, loudness equalisation, bass boost, stereo width and
// an output limiter, in that order.
class QORTechZR3D : public QORTechProcessBase {
 public:
  static constexpr char kTechId[] = "ZR3D";

  QORTechZR3D();
  uint32_t GetLatency() override { return stages_.Latency(); }

 protected:
  bool OnInit(uint32_t channels, uint32_t rate) override;
  void OnProcess(float* const* channels, uint32_t frames, const TechCallback* callback) override;
  void OnTakeState(QORTechProcessBase& other) override;

 private:
  void ApplyWidth(float* left, float* right, uint32_t frames, uint32_t at);

  int eqEnable_;
  std::array<int, QORTechGraphicEq::kBands> eqBands_{};
  int width_;

  QORTechGraphicEq eq_;
  QORTechLevelStages stages_;
  QORTechRamp widthRamp_;
  float widthBefore_ = 1.0f;  // the width glides from this to widthRamp_ over the grid block
  std::array<float*, kMaxChannels> sub_{};
};
