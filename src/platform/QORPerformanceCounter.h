#pragma once

#include <cstdint>

// Source of the performance counter; tests install one to control time.
class IQORCounterSource {
 public:
  virtual ~IQORCounterSource() = default;
  virtual bool Query(int64_t* counter) = 0;
  virtual bool Frequency(int64_t* ticksPerSecond) = 0;
};

// Monotonic counter at 10 MHz (the default source), like the performance counter of the platform
// the host was designed for.
class QORPerformanceCounter {
 public:
  static bool Query(int64_t* counter);
  static bool Frequency(int64_t* ticksPerSecond);
  // Replaces the source process-wide; null restores the monotonic clock. Not owned.
  static void SetSourceForTesting(IQORCounterSource* source);
};
