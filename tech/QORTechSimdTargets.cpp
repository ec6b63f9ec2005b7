#include "QORTechSimdTargets.h"

#include <hwy/targets.h>

int64_t QORTechSimdTargets::Supported() {
  int64_t targets = HWY_SCALAR | HWY_EMU128;
#if HWY_ARCH_X86
  // The compiler's runtime reports an AVX or AVX-512 feature only when the system saves those
  // registers too.
  __builtin_cpu_init();
  const bool ssse3 = __builtin_cpu_supports("sse3") && __builtin_cpu_supports("ssse3");
  const bool sse4 = ssse3 && __builtin_cpu_supports("sse4.1") && __builtin_cpu_supports("sse4.2") &&
                    __builtin_cpu_supports("pclmul") && __builtin_cpu_supports("aes");
  const bool avx2 = sse4 && __builtin_cpu_supports("avx") && __builtin_cpu_supports("avx2") &&
                    __builtin_cpu_supports("lzcnt") && __builtin_cpu_supports("bmi") &&
                    __builtin_cpu_supports("bmi2") && __builtin_cpu_supports("fma") &&
                    __builtin_cpu_supports("f16c");
  const bool avx3 = avx2 && __builtin_cpu_supports("avx512f") &&
                    __builtin_cpu_supports("avx512vl") && __builtin_cpu_supports("avx512dq") &&
                    __builtin_cpu_supports("avx512bw");
  const bool avx3dl =
      avx3 && __builtin_cpu_supports("avx512vnni") && __builtin_cpu_supports("vpclmulqdq") &&
      __builtin_cpu_supports("avx512vbmi") && __builtin_cpu_supports("avx512vbmi2") &&
      __builtin_cpu_supports("vaes") && __builtin_cpu_supports("avx512vpopcntdq") &&
      __builtin_cpu_supports("avx512bitalg");
  if (ssse3) targets |= HWY_SSSE3;
  if (sse4) targets |= HWY_SSE4;
  if (avx2) targets |= HWY_AVX2;
  if (avx3) targets |= HWY_AVX3;
  if (avx3dl) targets |= HWY_AVX3_DL;
#endif
  return targets;
}

// The two functions Highway's dispatch tables call, which its shared library would otherwise
// provide.
namespace hwy {

int64_t SupportedTargets() {
  return QORTechSimdTargets::Supported();
}

ChosenTarget& GetChosenTarget() {
  static ChosenTarget chosen;
  return chosen;
}

}  // namespace hwy
