#pragma once

#include <cstdint>

// Largest sample magnitudes, for meters and reports. The loops keep several independent running
// maxima so that they are not bound by one long chain of comparisons; when a NaN is met the
// samples are measured again in order, where a NaN replaces the running peak and the next sample
// replaces the NaN, so that the answer never depends on how the loop was split. Real-time (the
// manager's meters) and the host's reports: it touches only its arguments.
class QORAudioPeak {
 public:
  // frames samples spaced stride apart.
  static float Of(const float* samples, uint32_t frames, uint32_t stride);
  // Per channel of an interleaved array: peaks receives channels values.
  static void OfInterleaved(const float* samples, uint32_t frames, uint32_t channels, float* peaks);
};
