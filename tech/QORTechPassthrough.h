#pragma once

#include "QORTechProcessBase.h"

// Exact copy: the reference for bypass comparisons and for host tests.
class QORTechPassthrough : public QORTechProcessBase {
 public:
  static constexpr char kTechId[] = "QOR Passthrough";
  QORTechPassthrough() : QORTechProcessBase(kTechId) {}

 protected:
  bool OnInit(uint32_t, uint32_t) override { return true; }
  void OnProcess(float* const*, uint32_t, const TechCallback*) override {}
  void OnTakeState(QORTechProcessBase&) override {}
};
