#pragma once

#include <array>
#include <cstdint>

#include "QORTechBiquad.h"
#include "QORTechRamp.h"

// Parametric bands and a preamp. A band shapes every channel or one of them. Gain, frequency and
// a gainless filter's presence glide a step per grid block; a type or channel change passes
// through flat first so that the response never jumps between shapes. A flat band is skipped.
class QORTechParametricEq {
 public:
  static constexpr int kMaxBands = 40;
  enum Type : int32_t {
    kOff = 0,
    kPeak = 1,
    kLowShelf = 2,
    kHighShelf = 3,
    kLowPass = 4,
    kHighPass = 5,
    kNotch = 6,
    kAllPass = 7,
  };

  struct Band {
    int32_t type = kOff;
    float freq = 1000.0f;
    float gainDb = 0.0f;
    float q = 0.707f;
    uint32_t channel = 0;  // 0: every channel; k: the k-th only
  };

  // The band as designed at full presence; flat at or above half the rate.
  static QORTechBiquad::Coefficients Design(double rate, const Band& band);

  void Init(uint32_t rate, int bands);
  // One glide step toward targets (bands of them), where a grid block starts (jump: straight
  // there).
  void Step(const Band* targets, float preampDb, bool jump);
  void Process(float* const* channels, uint32_t channelCount, uint32_t frames);

 private:
  static bool HasGain(int32_t type) { return type >= kPeak && type <= kHighShelf; }
  bool Flat(int b) const { return current_[b].type == kOff || levels_[b].Value() == 0.0f; }

  uint32_t rate_ = 48000;
  int bands_ = 0;
  std::array<QORTechBiquad, kMaxBands> filters_;
  // Gain in dB for peaks and shelves; presence 0..1 for the gainless types.
  std::array<QORTechRamp, kMaxBands> levels_;
  std::array<QORTechRamp, kMaxBands> octaves_;  // log2 of the frequency
  std::array<Band, kMaxBands> current_{};
  std::array<float, kMaxBands> targetFreq_{};
  std::array<float, kMaxBands> targetOctave_{};
  QORTechBiquad preamp_;
  QORTechRamp preampDb_;
};
