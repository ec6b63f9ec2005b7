#pragma once

#include <array>

#include "QORTechLevelStages.h"
#include "QORTechParametricEq.h"
#include "QORTechProcessBase.h"

// Second render suite: the equaliser family built from parametric bands, then loudness
// equalisation, bass boost and the output limiter (always in the path, as in ZR3D).
class QORTechLuxSnd : public QORTechProcessBase {
 public:
  static constexpr char kTechId[] = "LUXSND";
  static constexpr int kBands = 5;

  QORTechLuxSnd();
  uint32_t GetLatency() override { return stages_.Latency(); }

 protected:
  bool OnInit(uint32_t channels, uint32_t rate) override;
  void OnProcess(float* const* channels, uint32_t frames, const TechCallback* callback) override;
  void OnTakeState(QORTechProcessBase& other) override;

 private:
  struct BandControls {
    int type, freq, gain, q;
  };
  int eqEnable_;
  std::array<BandControls, kBands> bands_{};

  QORTechParametricEq eq_;
  QORTechLevelStages stages_;
  std::array<float*, kMaxChannels> sub_{};
};
