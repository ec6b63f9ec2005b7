#pragma once

#include <cstdint>

#include "audio/IQORAudioData.h"

// Blends the old chain's output into the new one's: the old output passes unchanged for a hold time
// (the new chain's latency filling up), then the new output fades in over 30 ms, rising linearly in
// dB from -120 dB, while the old one takes the complementary weight 1 - g. The manager's: set up
// on the configuration thread, then run on the real-time thread; it never allocates.
class QORXFadeFunction {
 public:
  virtual ~QORXFadeFunction() = default;

  // Configuration (the manager resets its chains) and real-time (a switch begins). holdTime in
  // units of 10 ns.
  void Start(uint32_t sampleRate, int64_t holdTime);
  // Real-time. from (old output) is only read; to (new output) receives the blend.
  void Mix(IQORAudioData<float>& from, IQORAudioData<float>& to);

  // Real-time, and tests.
  uint32_t GetFadeLength() const { return fadeLength_; }
  uint32_t GetHoldLength() const { return holdLength_; }
  uint32_t GetPosition() const { return position_; }
  bool IsActive() const { return active_; }
  bool IsComplete() const {
    return static_cast<uint64_t>(position_) >= static_cast<uint64_t>(holdLength_) + fadeLength_;
  }
  // position / (hold + fade) in single precision; a crossfade of no length is complete at once.
  float GetProgress() const;

  // Any. Weight of the new output at frame d of the fade.
  static float FadeGain(uint32_t d, uint32_t fadeLength);

 private:
  uint32_t fadeLength_ = 0;
  uint32_t holdLength_ = 0;
  uint32_t position_ = 0;
  float gain_ = 0.0f;
  bool active_ = false;
};
