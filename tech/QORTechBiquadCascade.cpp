// Compiled once per instruction set by Highway; the library picks the best the processor offers on
// the first call.
#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "QORTechBiquadCascade.cpp"
#include <hwy/foreach_target.h>  // IWYU pragma: keep
// Must follow foreach_target.h.
#include <hwy/highway.h>

#include "QORTechBiquadCascade.h"

#ifndef QOR_TECH_BIQUAD_CASCADE_ONCE
#define QOR_TECH_BIQUAD_CASCADE_ONCE
#include <algorithm>

namespace qortech {
// Frames per pass through the interleaved buffer, and lanes for 12 channels on the widest target.
constexpr uint32_t kChunk = 64;
constexpr uint32_t kMaxWidth = 16;
// Sections whose state stays in registers across a chunk.
constexpr uint32_t kGroup = 4;

struct CascadeCall {
  QORTechBiquad* const* sections;
  uint32_t count;
  float* const* channels;
  uint32_t channelCount;
  uint32_t frames;
};
}  // namespace qortech
#endif

HWY_BEFORE_NAMESPACE();
namespace qortech {
namespace HWY_NAMESPACE {
namespace hn = hwy::HWY_NAMESPACE;

// K sections over `frames` interleaved frames of `width` lanes, in place; z holds each section's
// two state rows of `width` lanes.
template <size_t K, class D>
HWY_INLINE void RunGroup(D d, const double* coefficients, double* z, double* buffer,
                         uint32_t frames, size_t width) {
  using V = hn::Vec<D>;
  const size_t lanes = hn::Lanes(d);
  for (size_t g = 0; g < width; g += lanes) {
    // The transposed direct form II of QORTechBiquad::Process, regrouped so that a section's
    // feedback from one sample to the next is a single multiply-add: with w = b1 x + z1 of the
    // previous sample, y = (b0 x + w) - a1 y_previous. The state enters as w = z0, y = 0 and
    // leaves as z0 = w - a1 y.
    V b0[K], b1[K], b2[K], a1[K], a2[K], w[K], y[K], z1[K];
    for (size_t k = 0; k < K; ++k) {
      const double* c = coefficients + 5 * k;
      b0[k] = hn::Set(d, c[0]);
      b1[k] = hn::Set(d, c[1]);
      b2[k] = hn::Set(d, c[2]);
      a1[k] = hn::Set(d, c[3]);
      a2[k] = hn::Set(d, c[4]);
      w[k] = hn::Load(d, z + (2 * k) * width + g);
      y[k] = hn::Zero(d);
      z1[k] = hn::Load(d, z + (2 * k + 1) * width + g);
    }
    for (uint32_t i = 0; i < frames; ++i) {
      V x = hn::Load(d, buffer + i * width + g);
      for (size_t k = 0; k < K; ++k) {
        y[k] = hn::NegMulAdd(a1[k], y[k], hn::MulAdd(b0[k], x, w[k]));
        w[k] = hn::MulAdd(b1[k], x, z1[k]);
        z1[k] = hn::NegMulAdd(a2[k], y[k], hn::Mul(b2[k], x));
        x = y[k];
      }
      hn::Store(x, d, buffer + i * width + g);
    }
    for (size_t k = 0; k < K; ++k) {
      hn::Store(hn::NegMulAdd(a1[k], y[k], w[k]), d, z + (2 * k) * width + g);
      hn::Store(z1[k], d, z + (2 * k + 1) * width + g);
    }
  }
}

template <class D>
void RunCascade(D d, const CascadeCall& call) {
  const size_t lanes = hn::Lanes(d);
  const size_t width = (call.channelCount + lanes - 1) / lanes * lanes;
  HWY_ALIGN double buffer[kChunk * kMaxWidth];
  HWY_ALIGN double state[QORTechBiquadCascade::kMaxSections * 2 * kMaxWidth];
  double coefficients[QORTechBiquadCascade::kMaxSections * 5];
  // Idle lanes run on zeros and stay zero; only they need clearing.
  for (size_t ch = call.channelCount; ch < width; ++ch) {
    for (uint32_t i = 0; i < kChunk; ++i) buffer[i * width + ch] = 0.0;
    for (uint32_t row = 0; row < 2 * call.count; ++row) state[row * width + ch] = 0.0;
  }
  for (uint32_t s = 0; s < call.count; ++s) {
    const QORTechBiquad::Coefficients& c = call.sections[s]->GetCoefficients();
    double* row = coefficients + 5 * s;
    row[0] = c.b0;
    row[1] = c.b1;
    row[2] = c.b2;
    row[3] = c.a1;
    row[4] = c.a2;
    for (uint32_t ch = 0; ch < call.channelCount; ++ch) {
      const auto& zs = call.sections[s]->ChannelState(ch);
      state[(2 * s) * width + ch] = zs[0];
      state[(2 * s + 1) * width + ch] = zs[1];
    }
  }
  for (uint32_t offset = 0; offset < call.frames; offset += kChunk) {
    const uint32_t n = std::min(kChunk, call.frames - offset);
    for (uint32_t ch = 0; ch < call.channelCount; ++ch) {
      const float* in = call.channels[ch] + offset;
      for (uint32_t i = 0; i < n; ++i) buffer[i * width + ch] = in[i];
    }
    uint32_t s = 0;
    for (; s + kGroup <= call.count; s += kGroup) {
      RunGroup<kGroup>(d, coefficients + 5 * s, state + 2 * s * width, buffer, n, width);
    }
    switch (call.count - s) {
      case 3:
        RunGroup<3>(d, coefficients + 5 * s, state + 2 * s * width, buffer, n, width);
        break;
      case 2:
        RunGroup<2>(d, coefficients + 5 * s, state + 2 * s * width, buffer, n, width);
        break;
      case 1:
        RunGroup<1>(d, coefficients + 5 * s, state + 2 * s * width, buffer, n, width);
        break;
      default:
        break;
    }
    for (uint32_t ch = 0; ch < call.channelCount; ++ch) {
      float* out = call.channels[ch] + offset;
      for (uint32_t i = 0; i < n; ++i) out[i] = static_cast<float>(buffer[i * width + ch]);
    }
  }
  for (uint32_t s = 0; s < call.count; ++s) {
    for (uint32_t ch = 0; ch < call.channelCount; ++ch) {
      auto& zs = call.sections[s]->ChannelState(ch);
      zs[0] = state[(2 * s) * width + ch];
      zs[1] = state[(2 * s + 1) * width + ch];
    }
  }
}

// The narrowest vector that holds the channels, so a stereo cascade does not pay for idle lanes.
void Run(const CascadeCall& call) {
  if (call.channelCount <= 2) {
    RunCascade(hn::CappedTag<double, 2>(), call);
  } else if (call.channelCount <= 4) {
    RunCascade(hn::CappedTag<double, 4>(), call);
  } else {
    RunCascade(hn::CappedTag<double, 8>(), call);
  }
}

}  // namespace HWY_NAMESPACE
}  // namespace qortech
HWY_AFTER_NAMESPACE();

#if HWY_ONCE
namespace qortech {
HWY_EXPORT(Run);

namespace {
// Chosen once, when the library loads, so that no period asks the dispatcher again.
using RunFunction = void (*)(const CascadeCall&);
const RunFunction kRun = [] {
  hwy::GetChosenTarget().Update(hwy::SupportedTargets());
  return HWY_DYNAMIC_DISPATCH(Run);
}();
}  // namespace
}  // namespace qortech

void QORTechBiquadCascade::Process(float* const* channels, uint32_t channelCount, uint32_t frames) {
  if (count_ == 0 || frames == 0 || channelCount == 0) return;
  channelCount = std::min(channelCount, QORTechBiquad::kMaxChannels);
  const qortech::CascadeCall call{sections_.data(), count_, channels, channelCount, frames};
  qortech::kRun(call);
}
#endif
