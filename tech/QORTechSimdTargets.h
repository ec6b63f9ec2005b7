#pragma once

#include <cstdint>

// Which of Highway's x86 targets this processor and its system run, for the kernels' dispatch
// tables. The library answers this itself rather than through Highway's shared library, whose
// loading times its clock for milliseconds at every start of every program that loads us.
class QORTechSimdTargets {
 public:
  // Highway's target bits (HWY_SSSE3 .. HWY_AVX3_DL) the processor has every instruction of and
  // whose registers the system saves, plus the portable fallbacks.
  static int64_t Supported();
};
