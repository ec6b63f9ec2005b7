#pragma once

#include <cstdint>

// The fold coefficients shared by the downmix block, the process chain's conversions between
// blocks of different channel counts and the capture pipe's mono fold. Arrays are interleaved;
// the arithmetic is single precision: the two summed channels first, then the scale, then the
// front channel. Real-time: it touches only its arguments.
class QORAudioChannelFold {
 public:
  // The single-precision value nearest to 0.707 (deliberately not 1/sqrt(2)).
  static constexpr float kCoefficient = 0.707f;

  // 5.1 (FL, FR, C, LFE, LS, RS) to stereo; LFE is dropped. Destination may equal source.
  static void Fold6To2(const float* source, float* destination, uint32_t frames);
  // Stereo to mono. Destination may equal source.
  static void Fold2To1(const float* source, float* destination, uint32_t frames);
  // Mono to stereo. The arrays must not overlap.
  static void Fold1To2(const float* source, float* destination, uint32_t frames);

  static float Front(float front, float centre, float surround) {
    return front + kCoefficient * (centre + surround);
  }
  static float Mono(float left, float right) { return (left + right) * kCoefficient; }
};
