// Compiled once per instruction set by Highway; the library picks the best the processor offers on
// the first call.
#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "QORTechConvolverKernels.cpp"
#include <hwy/foreach_target.h>  // IWYU pragma: keep
// Must follow foreach_target.h.
#include <hwy/highway.h>

#include "QORTechConvolverKernels.h"

HWY_BEFORE_NAMESPACE();
namespace qortech {
namespace HWY_NAMESPACE {
namespace hn = hwy::HWY_NAMESPACE;

// A tile of outputs keeps its sums in registers through every tap: eight vectors, so that eight
// multiply-add chains overlap. Each run of samples is loaded once and meets the tap each vector of
// sums needs there (vector v, lanes apart from v - 1, a tap lanes further back), so a tap costs
// one broadcast per vector and the samples one load per tap in all; the zeros around the taps
// fill the tile's first and last steps. Each sum still adds its taps in order from k = 0.
template <class D>
HWY_INLINE void DirectTile(D d, const double* head, const double* x, uint32_t taps, double* y) {
  using V = hn::Vec<D>;
  constexpr size_t kVectors = 8;
  const size_t lanes = hn::Lanes(d);
  const size_t span = (kVectors - 1) * lanes;
  V sum[kVectors];
  for (size_t v = 0; v < kVectors; ++v) sum[v] = hn::Zero(d);
  for (size_t o = 0; o < taps + span; ++o) {
    const V samples = hn::LoadU(d, x + o);
    const double* tap = head + o;
    for (size_t v = 0; v < kVectors; ++v) {
      sum[v] = hn::MulAdd(hn::Set(d, tap[0 - static_cast<ptrdiff_t>(v * lanes)]), samples, sum[v]);
    }
  }
  for (size_t v = 0; v < kVectors; ++v) hn::StoreU(sum[v], d, y + v * lanes);
}

void DirectOutputs(const double* head, const double* x, uint32_t taps, uint32_t outputs,
                   double* y) {
  // Eight vectors of at most eight lanes: a tile is at most kDirectTile outputs.
  const hn::CappedTag<double, kDirectTile / 8> d;
  const uint32_t tile = static_cast<uint32_t>(8 * hn::Lanes(d));
  for (uint32_t n = 0; n < outputs; n += tile) DirectTile(d, head, x + n, taps, y + n);
}

// kSpectralStep bins of every partition at a time, their sums in registers until all are added:
// four independent chains per vector (real and imaginary, each split in two) so that the
// multiply-adds of one partition do not wait on those of the one before. Rows of float are
// widened as they are read; the sums are double either way.
template <typename T>
HWY_INLINE void SpectralSumOf(const T* const* history, const T* partitions, uint32_t count,
                              uint32_t bins, double* sum) {
  const hn::CappedTag<double, kSpectralStep / 4> d;
  const hn::Rebind<T, decltype(d)> dt;
  using V = hn::Vec<decltype(d)>;
  const auto load = [&](const T* from) {
    if constexpr (sizeof(T) == sizeof(double)) {
      return hn::LoadU(d, from);
    } else {
      return hn::PromoteTo(d, hn::LoadU(dt, from));
    }
  };
  const size_t lanes = hn::Lanes(d);
  const size_t vectors = kSpectralStep / lanes;
  const size_t row = 2 * static_cast<size_t>(bins);
  for (size_t k = 0; k < bins; k += kSpectralStep) {
    V ac[kSpectralStep], be[kSpectralStep], ae[kSpectralStep], bc[kSpectralStep];
    for (size_t v = 0; v < vectors; ++v) {
      ac[v] = be[v] = ae[v] = bc[v] = hn::Zero(d);
    }
    for (uint32_t p = 0; p < count; ++p) {
      const T* x = history[p] + 2 * k;
      const T* h = partitions + p * row + 2 * k;
      for (size_t v = 0; v < vectors; ++v) {
        // (a + ib)(c + ie) = (ac - be) + i(ae + bc)
        const V a = load(x + v * lanes), b = load(x + kSpectralStep + v * lanes);
        const V c = load(h + v * lanes), e = load(h + kSpectralStep + v * lanes);
        ac[v] = hn::MulAdd(a, c, ac[v]);
        be[v] = hn::MulAdd(b, e, be[v]);
        ae[v] = hn::MulAdd(a, e, ae[v]);
        bc[v] = hn::MulAdd(b, c, bc[v]);
      }
    }
    for (size_t v = 0; v < vectors; ++v) {
      hn::StoreInterleaved2(hn::Sub(ac[v], be[v]), hn::Add(ae[v], bc[v]), d,
                            sum + 2 * (k + v * lanes));
    }
  }
}

void SpectralSum(const double* const* history, const double* partitions, uint32_t count,
                 uint32_t bins, double* sum) {
  SpectralSumOf(history, partitions, count, bins, sum);
}

void NarrowSpectralSum(const float* const* history, const float* partitions, uint32_t count,
                       uint32_t bins, double* sum) {
  SpectralSumOf(history, partitions, count, bins, sum);
}

}  // namespace HWY_NAMESPACE
}  // namespace qortech
HWY_AFTER_NAMESPACE();

#if HWY_ONCE
namespace qortech {
HWY_EXPORT(DirectOutputs);
HWY_EXPORT(SpectralSum);
HWY_EXPORT(NarrowSpectralSum);

namespace {
// Chosen once, when the library loads, so that no period asks the dispatcher again.
using DirectFunction = void (*)(const double*, const double*, uint32_t, uint32_t, double*);
using SpectralFunction = void (*)(const double* const*, const double*, uint32_t, uint32_t, double*);
const DirectFunction kDirect = [] {
  hwy::GetChosenTarget().Update(hwy::SupportedTargets());
  return HWY_DYNAMIC_DISPATCH(DirectOutputs);
}();
using NarrowFunction = void (*)(const float* const*, const float*, uint32_t, uint32_t, double*);
const NarrowFunction kNarrow = [] {
  hwy::GetChosenTarget().Update(hwy::SupportedTargets());
  return HWY_DYNAMIC_DISPATCH(NarrowSpectralSum);
}();
const SpectralFunction kSpectral = [] {
  hwy::GetChosenTarget().Update(hwy::SupportedTargets());
  return HWY_DYNAMIC_DISPATCH(SpectralSum);
}();
}  // namespace

void DirectOutputs(const double* head, const double* x, uint32_t taps, uint32_t outputs,
                   double* y) {
  kDirect(head, x, taps, outputs, y);
}

void SpectralSum(const double* const* history, const double* partitions, uint32_t count,
                 uint32_t bins, double* sum) {
  kSpectral(history, partitions, count, bins, sum);
}

void NarrowSpectralSum(const float* const* history, const float* partitions, uint32_t count,
                       uint32_t bins, double* sum) {
  kNarrow(history, partitions, count, bins, sum);
}
}  // namespace qortech
#endif
