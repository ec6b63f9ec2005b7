// The processor's own limit for double-precision multiply-adds, measured: independent fused
// multiply-adds, enough of them in flight to cover the instruction's latency, on the widest vectors
// the processor offers and on four-lane vectors (what the equaliser's pipelined cascade uses).
// Prints "widest LANES GFMA_PER_S" and "four-lane 4 GFMA_PER_S", in processor time, each the best
// of several runs so that a moment of load elsewhere does not lower the limit.
//
//   fma_peak
#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "tools/FmaPeak.cpp"
#include <hwy/foreach_target.h>  // IWYU pragma: keep
// Must follow foreach_target.h.
#include <hwy/highway.h>

#ifndef QOR_FMA_PEAK_ONCE
#define QOR_FMA_PEAK_ONCE
#include <time.h>

#include <algorithm>
#include <cstdio>

namespace fmapeak {
double CpuSeconds() {
  timespec t{};
  ::clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) + 1e-9 * static_cast<double>(t.tv_nsec);
}
struct Result {
  size_t lanes;
  double gfma;  // lane multiply-adds per second, in billions
};
}  // namespace fmapeak
#endif

HWY_BEFORE_NAMESPACE();
namespace fmapeak {
namespace HWY_NAMESPACE {
namespace hn = hwy::HWY_NAMESPACE;

template <class D>
HWY_NOINLINE Result Measure(D d, double seed) {
  using V = hn::Vec<D>;
  // Twelve chains: more than latency times issue width on any current processor.
  constexpr int kChains = 12;
  constexpr long kSteps = 4000000;
  const V a = hn::Set(d, 0.999999);
  const V b = hn::Set(d, 1e-7);
  double best = 0.0;
  double sink = 0.0;
  for (int run = 0; run < 5; ++run) {
    V acc[kChains];
    for (int k = 0; k < kChains; ++k) acc[k] = hn::Set(d, seed + k);
    const double start = CpuSeconds();
    for (long i = 0; i < kSteps; ++i) {
      for (int k = 0; k < kChains; ++k) acc[k] = hn::MulAdd(acc[k], a, b);
    }
    const double seconds = CpuSeconds() - start;
    V sum = acc[0];
    for (int k = 1; k < kChains; ++k) sum = hn::Add(sum, acc[k]);
    sink += hn::GetLane(sum);
    const double lanes = static_cast<double>(hn::Lanes(d));
    best = std::max(best, kChains * static_cast<double>(kSteps) * lanes / seconds * 1e-9);
  }
  // Keeps the loop alive: the chains' sum decides nothing but cannot be dropped.
  if (sink == 12345.0) std::puts("");
  return {hn::Lanes(d), best};
}

Result Widest(double seed) {
  return Measure(hn::ScalableTag<double>(), seed);
}
Result FourLanes(double seed) {
  return Measure(hn::CappedTag<double, 4>(), seed);
}

}  // namespace HWY_NAMESPACE
}  // namespace fmapeak
HWY_AFTER_NAMESPACE();

#if HWY_ONCE
namespace fmapeak {
HWY_EXPORT(Widest);
HWY_EXPORT(FourLanes);
}  // namespace fmapeak

int main(int argc, char**) {
  const double seed = static_cast<double>(argc);
  const fmapeak::Result widest = HWY_DYNAMIC_DISPATCH(fmapeak::Widest)(seed);
  const fmapeak::Result four = HWY_DYNAMIC_DISPATCH(fmapeak::FourLanes)(seed);
  std::printf("widest %zu %.2f\n", widest.lanes, widest.gfma);
  std::printf("four-lane %zu %.2f\n", four.lanes, four.gfma);
  return 0;
}
#endif
