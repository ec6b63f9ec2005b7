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
  void Delay(float* const* channels, uint32_t frames);
  // Each channel's pending frames, then `frames` new ones from channels + offset, in its line.
  void Append(float* const* channels, uint32_t offset, uint32_t frames);
  // The oldest `frames` of each line leave; the pending ones move to its front.
  void Advance(uint32_t frames);
  // The detector's state rebuilt from the delayed frames, as if it had been on while they came in.
  void Replay();

  static constexpr uint32_t kChunk = 256;  // frames per pass of the block-wise loops

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
  // Per channel lookAhead_ + kChunk samples: the pending frames, oldest first, then a chunk.
  std::vector<float> lines_;
  std::vector<float> minimum_;  // sliding minima of the required gains, a ring of window_
  // The required gains of the pending frames, then those of a chunk; windowed minima in place.
  std::vector<float> required_;
  std::vector<float> gains_;          // a chunk's gains
  std::vector<float> scratch_;        // two rows for the windowed minima
  std::vector<const float*> starts_;  // each line's first pending frame
  std::vector<const float*> news_;    // each line's chunk
};
