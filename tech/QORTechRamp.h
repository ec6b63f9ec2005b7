#pragma once

#include <cmath>

// Moves a parameter toward its target by a fixed fraction per step so that control changes glide
// instead of jumping; snaps once close so that neutral settings become exactly neutral again.
class QORTechRamp {
 public:
  void SetRate(float stepsPerSecond, float timeConstantSeconds) {
    coefficient_ = 1.0f - std::exp(-1.0f / (stepsPerSecond * timeConstantSeconds));
  }
  void Jump(float value) { current_ = value; }
  // Returns true when the value changed.
  bool JumpTo(float target) {
    const bool changed = current_ != target;
    current_ = target;
    return changed;
  }
  // Returns true when the value changed.
  bool Step(float target, float snap) {
    if (current_ == target) return false;
    current_ += (target - current_) * coefficient_;
    if (std::fabs(target - current_) < snap) current_ = target;
    return true;
  }
  float Value() const { return current_; }

 private:
  float current_ = 0.0f;
  float coefficient_ = 1.0f;
};
