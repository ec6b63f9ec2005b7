#pragma once

#include <cstdint>

// The convolver's inner loops, built for each x86 instruction set and chosen when the library
// loads.
namespace qortech {

// Outputs padded to a multiple of this many frames are computed whatever the count asked for:
// the caller's buffers hold them.
constexpr uint32_t kDirectTile = 64;

// y[n] = sum of head[k] x[n + k] over k < taps, for n < outputs rounded up to kDirectTile, each
// sum in one running multiply-add from k = 0.
void DirectOutputs(const double* head, const double* x, uint32_t taps, uint32_t outputs, double* y);

// Spectra are split into real and imaginary rows whose bins are padded to a multiple of this.
constexpr uint32_t kSpectralStep = 32;

// (re, im) = sum over p < count of x_p h_p, bin by bin: x_p is history row historyRe/Im[p], h_p
// partition row p, rows of stride doubles.
void SpectralSum(const double* const* historyRe, const double* const* historyIm,
                 const double* partitionsRe, const double* partitionsIm, uint32_t count,
                 uint32_t stride, double* re, double* im);

}  // namespace qortech
