#pragma once

#include <array>
#include <vector>

#include "QORTechBiquad.h"
#include "QORTechProcessBase.h"
#include "QORTechRamp.h"

// Headphone virtualisation: each ear also hears the opposite channels late and dulled, as from
// loudspeakers in front, which moves the image out of the head. 5.1 and larger layouts fold into
// the first two channels (centre and LFE to both ears, surrounds with a longer path) and the other
// channels fall silent; layouts of two to five channels cross-feed the front pair only.
class QORTechNUV : public QORTechProcessBase {
 public:
  static constexpr char kTechId[] = "NUV";

  QORTechNUV();

 protected:
  bool OnInit(uint32_t channels, uint32_t rate) override;
  void OnProcess(float* const* channels, uint32_t frames, const TechCallback* callback) override;
  void OnTakeState(QORTechProcessBase& other) override;

 private:
  static constexpr int kSources = 4;  // front left, front right, surround left, surround right
  float Delayed(int source, float delayFrames) const;
  void Push(int source, float value) { ring_[source * ringSize_ + write_] = value; }
  void UpdateFilter();

  int enable_;
  int level_;
  int delay_;
  int cutoff_;

  uint32_t ringSize_ = 0;
  uint32_t write_ = 0;
  std::vector<float> ring_;
  QORTechBiquad shadow_;  // head-shadow low-pass on the far-ear paths, one state per source
  QORTechRamp mix_;
  QORTechRamp gain_;
  QORTechRamp delayRamp_;   // frames
  float mixBefore_ = 0.0f;  // the mix glides from this to mix_ over the grid block
  int32_t filteredCutoff_ = 0;
};
