#pragma once

#include <array>

#include "QORTechParametricEq.h"
#include "QORTechProcessBase.h"

// A parametric equaliser of many bands for corrections people bring as files: each band any of
// the usual filter types, on every channel or one, with frequency and Q in hundredths so that
// exported values land as written, and a preamp. No latency.
class QORTechPeq : public QORTechProcessBase {
 public:
  static constexpr char kTechId[] = "QOR Parametric EQ";
  static constexpr int kBands = QORTechParametricEq::kMaxBands;

  QORTechPeq();

 protected:
  bool OnInit(uint32_t channels, uint32_t rate) override;
  void OnProcess(float* const* channels, uint32_t frames, const TechCallback* callback) override;
  void OnTakeState(QORTechProcessBase& other) override;

 private:
  struct BandControls {
    int type, freq, gain, q, channel;
  };
  int enable_;
  int preamp_;
  std::array<BandControls, kBands> bands_{};
  std::array<QORTechParametricEq::Band, kBands> targets_{};

  QORTechParametricEq eq_;
  std::array<float*, kMaxChannels> sub_{};
};
