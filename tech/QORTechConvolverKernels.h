#pragma once

#include <cstdint>

// The convolver's inner loops, built for each x86 instruction set and chosen when the library
// loads.
namespace qortech {

// Outputs padded to a multiple of this many frames are computed whatever the count asked for:
// the caller's buffers hold them.
constexpr uint32_t kDirectTile = 64;

// Zeros the direct part's taps need on either side.
constexpr uint32_t kDirectPad = kDirectTile - kDirectTile / 8;

// y[n] = sum of head[k] x[n + k] over k < taps, for n < outputs rounded up to kDirectTile, each
// sum in one running multiply-add from k = 0. head[-kDirectPad .. 0) and head[taps .. taps +
// kDirectPad) are zeros; x is read up to taps + kDirectTile - 1 past the last output asked for.
void DirectOutputs(const double* head, const double* x, uint32_t taps, uint32_t outputs, double* y);

// Spectra are kept as rows of blocks of this many bins, each block its real parts and then its
// imaginary parts, so that a block of one row is one run of memory.
constexpr uint32_t kSpectralStep = 32;

// sum = the sum over p < count of x_p h_p, bin by bin, for bins padded to a multiple of
// kSpectralStep: x_p is the row history[p], h_p row p of partitions (rows of 2 x bins doubles).
// sum receives interleaved complex values.
void SpectralSum(const double* const* history, const double* partitions, uint32_t count,
                 uint32_t bins, double* sum);
// The same on rows of float, summed in double.
void NarrowSpectralSum(const float* const* history, const float* partitions, uint32_t count,
                       uint32_t bins, double* sum);

}  // namespace qortech
