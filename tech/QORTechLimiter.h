#pragma once

#include <cmath>
#include <cstdint>
#include <vector>

// Look-ahead peak limiter linked over all channels. The gain applied to a sample never exceeds
// ceiling / peak of every sample within the look-ahead window around it, and a final clamp catches
// rounding, so no output sample exceeds the ceiling.
class QORTechLimiter {
 public:
  // Allocates the delay and window buffers.
  void Init(uint32_t channels, uint32_t rate, float lookAheadSeconds);
  uint32_t LookAhead() const { return lookAhead_; }
  // In hundredths of a dB; off lifts the ceiling out of reach: the gain releases to unity and then
  // only the look-ahead delay stays. Switched on, the detector first reads what the delay holds, so
  // samples already in it are limited like any other rather than left to the final clamp.
  void SetCeiling(bool on, int32_t hundredthsDb) {
    if (on == on_ && hundredthsDb == hundredths_) return;
    replay_ = replay_ || (on && !on_);
    on_ = on;
    hundredths_ = hundredthsDb;
    ceiling_ = on ? std::pow(10.0f, hundredthsDb / 2000.0f) : 1e30f;
  }
  void SetReleaseSeconds(float seconds);
  void Reset();
  // Delays by LookAhead() frames and limits in place.
  void Process(float* const* channels, uint32_t frames);
  float Gain() const { return gain_; }
  // Copies the running state of a limiter set up for the same format; no allocation.
  void TakeState(const QORTechLimiter& other);

 private:
  // Process for a channel count fixed at compile time (0: any).
  template <uint32_t kChannels>
  void Run(float* const* channels, uint32_t frames);
  // The delay alone, while switched off and released.
  template <uint32_t kChannels>
  void Delay(float* const* channels, uint32_t frames);
  // The detector's state rebuilt from the delayed frames, as if it had been on while they came in.
  void Replay();

  uint32_t channels_ = 0;
  uint32_t rate_ = 0;
  uint32_t lookAhead_ = 0;
  uint32_t window_ = 0;  // lookAhead_ + 1
  float ceiling_ = 1.0f;
  bool on_ = true;
  bool replay_ = false;
  int32_t hundredths_ = 0;
  float release_ = 0.001f;
  float releaseSeconds_ = 0.0f;
  float gain_ = 1.0f;
  uint64_t position_ = 0;
  double boxSum_ = 0.0;
  std::vector<float> delay_;    // window_ frames x channels
  std::vector<float> minimum_;  // sliding minima of the required gains, window_ long
  std::vector<uint64_t> dequeIndex_;
  std::vector<float> dequeValue_;
  uint32_t dequeHead_ = 0;
  uint32_t dequeSize_ = 0;
};
