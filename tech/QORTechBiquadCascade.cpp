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
// Fewer sections than this wait on their own recursions in the pipeline: the grouped runner is
// faster for them.
constexpr uint32_t kPipelineMinSections = 7;

struct CascadeCall {
  QORTechBiquad* const* sections;
  uint32_t count;
  float* const* channels;
  uint32_t channelCount;
  uint32_t frames;
  // A tapped pass (ProcessTapped): the first `split` sections, then the gains, then the mix.
  uint32_t split = 0;
  const float* gains = nullptr;
  float mixScale = 1.0f;
  float* mixes = nullptr;
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

#if HWY_MAX_BYTES >= 32
// A pipelined cascade of P pairs of sections (below). The coefficients stay in memory and are read
// as operands each step: with them in registers too, the state would not fit and its recursions
// would pass through the stack.
template <size_t P, class D>
struct Pipeline {
  using V = hn::Vec<D>;
  enum { kB0, kB1, kB2, kA1, kA2, kIndex, kRows };
  HWY_ALIGN double rows[P][kRows][4];
  V z0[P], z1[P], y[P];
};

// Steps from..to of a pipelined cascade: in holds each step's input frame (both channels), out
// receives the last section's output frame. Masked steps, where the pipeline fills or drains,
// update only the lanes whose section has a frame: section j at step t when t - frames < j <= t.
template <bool kMasked, size_t P, class D>
HWY_INLINE void Steps(D d, Pipeline<P, D>& q, const double* in, double* out, uint32_t from,
                      uint32_t to, uint32_t frames) {
  using V = hn::Vec<D>;
  using Q = Pipeline<P, D>;
  const hn::Half<D> dh;
  V z0[P], z1[P], y[P];
  for (size_t p = 0; p < P; ++p) {
    z0[p] = q.z0[p];
    z1[p] = q.z1[p];
    y[p] = q.y[p];
  }
  for (uint32_t t = from; t < to; ++t, in += 2, out += 2) {
    V x[P];
    x[0] = hn::Combine(d, hn::LowerHalf(dh, y[0]), hn::LoadU(dh, in));
    for (size_t p = 1; p < P; ++p) x[p] = hn::ConcatLowerUpper(d, y[p], y[p - 1]);
    for (size_t p = 0; p < P; ++p) {
      const auto& r = q.rows[p];
      y[p] = hn::MulAdd(hn::Load(d, r[Q::kB0]), x[p], z0[p]);
      const V next0 = hn::NegMulAdd(hn::Load(d, r[Q::kA1]), y[p],
                                    hn::MulAdd(hn::Load(d, r[Q::kB1]), x[p], z1[p]));
      const V next1 =
          hn::NegMulAdd(hn::Load(d, r[Q::kA2]), y[p], hn::Mul(hn::Load(d, r[Q::kB2]), x[p]));
      if constexpr (kMasked) {
        const V index = hn::Load(d, r[Q::kIndex]);
        const V tv = hn::Set(d, static_cast<double>(t));
        const V first = hn::Set(d, static_cast<double>(t) - frames);
        const auto active = hn::And(hn::Le(index, tv), hn::Lt(first, index));
        z0[p] = hn::IfThenElse(active, next0, z0[p]);
        z1[p] = hn::IfThenElse(active, next1, z1[p]);
      } else {
        z0[p] = next0;
        z1[p] = next1;
      }
    }
    hn::StoreU(hn::UpperHalf(dh, y[P - 1]), dh, out);
  }
  for (size_t p = 0; p < P; ++p) {
    q.z0[p] = z0[p];
    q.z1[p] = z1[p];
    q.y[p] = y[p];
  }
}

// The rows of one vector of a pipelined cascade, kPer sections from first side by side, each on
// both channels: coefficients, the two state values and the section's index; sections past the
// list pass their input through.
template <uint32_t kPer>
void FillLanes(const CascadeCall& call, uint32_t first, bool stereo, double (&lanes)[8][2 * kPer]) {
  for (uint32_t h = 0; h < kPer; ++h) {
    const uint32_t s = first + h;
    QORTechBiquad::Coefficients c;
    std::array<double, 2> state0{}, state1{};
    if (s < call.count) {
      c = call.sections[s]->GetCoefficients();
      state0 = call.sections[s]->ChannelState(0);
      if (stereo) state1 = call.sections[s]->ChannelState(1);
    }
    const double values[8] = {c.b0, c.b1,      c.b2,      c.a1,
                              c.a2, state0[0], state0[1], static_cast<double>(s)};
    for (int k = 0; k < 8; ++k) {
      lanes[k][2 * h] = values[k];
      lanes[k][2 * h + 1] = values[k];
    }
    lanes[5][2 * h + 1] = state1[0];
    lanes[6][2 * h + 1] = state1[1];
  }
}

// One or two channels of a long cascade on vectors of four lanes, pipelined: a vector holds two
// sections side by side, each on both channels, and at step t section j works on frame t - j with
// the output section j - 1 gave at the step before. The vectors of one step do not wait on each
// other, so the processor overlaps their recursions, and no lane idles on a stereo stream. P pairs
// of sections; an odd count runs one extra section that passes its input through.
template <size_t P, class D>
HWY_NOINLINE void RunPipelined(D d, const CascadeCall& call) {
  constexpr uint32_t kSections = 2 * P;
  Pipeline<P, D> q;
  const bool stereo = call.channelCount == 2;
  for (size_t p = 0; p < P; ++p) {
    HWY_ALIGN double lanes[8][4];
    FillLanes<2>(call, static_cast<uint32_t>(2 * p), stereo, lanes);
    for (int k = 0; k < 5; ++k) std::copy_n(lanes[k], 4, q.rows[p][k]);
    std::copy_n(lanes[7], 4, q.rows[p][Pipeline<P, D>::kIndex]);
    q.z0[p] = hn::Load(d, lanes[5]);
    q.z1[p] = hn::Load(d, lanes[6]);
    q.y[p] = hn::Zero(d);
  }
  float* const left = call.channels[0];
  float* const right = stereo ? call.channels[1] : nullptr;
  const uint32_t frames = call.frames;
  const uint32_t steps = frames + kSections - 1;
  HWY_ALIGN double in[2 * kChunk];
  HWY_ALIGN double out[2 * kChunk];
  for (uint32_t begin = 0; begin < steps; begin += kChunk) {
    const uint32_t end = std::min(steps, begin + kChunk);
    for (uint32_t t = begin; t < end; ++t) {
      const bool inside = t < frames;
      in[2 * (t - begin)] = inside ? left[t] : 0.0f;
      in[2 * (t - begin) + 1] = inside && stereo ? right[t] : 0.0f;
    }
    // Masked where the pipeline fills (t < kSections - 1) or drains (t >= frames).
    const uint32_t full = std::clamp(kSections - 1, begin, end);
    const uint32_t drain = std::clamp(frames, full, end);
    Steps<true>(d, q, in, out, begin, full, frames);
    Steps<false>(d, q, in + 2 * (full - begin), out + 2 * (full - begin), full, drain, frames);
    Steps<true>(d, q, in + 2 * (drain - begin), out + 2 * (drain - begin), drain, end, frames);
    for (uint32_t t = std::max(begin, kSections - 1); t < end; ++t) {
      const uint32_t frame = t - (kSections - 1);
      left[frame] = static_cast<float>(out[2 * (t - begin)]);
      if (stereo) right[frame] = static_cast<float>(out[2 * (t - begin) + 1]);
    }
  }

  for (size_t p = 0; p < P; ++p) {
    HWY_ALIGN double lanes[2][4];
    hn::Store(q.z0[p], d, lanes[0]);
    hn::Store(q.z1[p], d, lanes[1]);
    for (uint32_t h = 0; h < 2; ++h) {
      const uint32_t s = static_cast<uint32_t>(2 * p + h);
      if (s >= call.count) continue;
      call.sections[s]->ChannelState(0) = {lanes[0][2 * h], lanes[1][2 * h]};
      if (stereo) call.sections[s]->ChannelState(1) = {lanes[0][2 * h + 1], lanes[1][2 * h + 1]};
    }
  }
}

#if HWY_ARCH_X86 && (HWY_TARGET == HWY_AVX3 || HWY_TARGET == HWY_AVX3_DL)
// The pipeline on vectors of eight lanes: four sections side by side, each on both channels. A
// step's inputs move up one section with one lane rotation per vector (valignq), carrying in the
// last section of the vector before or the frame. Each section works as in Steps, so the results
// are the same to the bit; the wider vectors halve the instructions of a step.
template <size_t Q>
struct WidePipeline {
  enum { kB0, kB1, kB2, kA1, kA2, kIndex, kRows };
  HWY_ALIGN double rows[Q][kRows][8];
  __m512d z0[Q], z1[Q], y[Q];
};

template <bool kMasked, size_t Q>
HWY_INLINE void WideSteps(WidePipeline<Q>& q, const double* in, double* out, uint32_t from,
                          uint32_t to, uint32_t frames) {
  using W = WidePipeline<Q>;
  __m512d z0[Q], z1[Q], y[Q];
  for (size_t p = 0; p < Q; ++p) {
    z0[p] = q.z0[p];
    z1[p] = q.z1[p];
    y[p] = q.y[p];
  }
  const auto shift = [](__m512d high, __m512d low) {
    return _mm512_castsi512_pd(
        _mm512_alignr_epi64(_mm512_castpd_si512(high), _mm512_castpd_si512(low), 6));
  };
  for (uint32_t t = from; t < to; ++t, in += 2, out += 2) {
    __m512d x[Q];
    x[0] = shift(y[0], _mm512_broadcast_f64x2(_mm_loadu_pd(in)));
    for (size_t p = 1; p < Q; ++p) x[p] = shift(y[p], y[p - 1]);
    for (size_t p = 0; p < Q; ++p) {
      const auto& r = q.rows[p];
      y[p] = _mm512_fmadd_pd(_mm512_load_pd(r[W::kB0]), x[p], z0[p]);
      const __m512d next0 = _mm512_fnmadd_pd(
          _mm512_load_pd(r[W::kA1]), y[p], _mm512_fmadd_pd(_mm512_load_pd(r[W::kB1]), x[p], z1[p]));
      const __m512d next1 = _mm512_fnmadd_pd(_mm512_load_pd(r[W::kA2]), y[p],
                                             _mm512_mul_pd(_mm512_load_pd(r[W::kB2]), x[p]));
      if constexpr (kMasked) {
        const __m512d index = _mm512_load_pd(r[W::kIndex]);
        const __m512d tv = _mm512_set1_pd(static_cast<double>(t));
        const __m512d first = _mm512_set1_pd(static_cast<double>(t) - frames);
        const __mmask8 active = _mm512_cmp_pd_mask(index, tv, _CMP_LE_OQ) &
                                _mm512_cmp_pd_mask(first, index, _CMP_LT_OQ);
        z0[p] = _mm512_mask_blend_pd(active, z0[p], next0);
        z1[p] = _mm512_mask_blend_pd(active, z1[p], next1);
      } else {
        z0[p] = next0;
        z1[p] = next1;
      }
    }
    _mm_storeu_pd(out, _mm512_extractf64x2_pd(y[Q - 1], 3));
  }
  for (size_t p = 0; p < Q; ++p) {
    q.z0[p] = z0[p];
    q.z1[p] = z1[p];
    q.y[p] = y[p];
  }
}

template <size_t Q>
HWY_NOINLINE void RunWidePipelined(const CascadeCall& call) {
  constexpr uint32_t kSections = 4 * Q;
  WidePipeline<Q> q;
  const bool stereo = call.channelCount == 2;
  for (size_t p = 0; p < Q; ++p) {
    HWY_ALIGN double lanes[8][8];
    FillLanes<4>(call, static_cast<uint32_t>(4 * p), stereo, lanes);
    for (int k = 0; k < 5; ++k) std::copy_n(lanes[k], 8, q.rows[p][k]);
    std::copy_n(lanes[7], 8, q.rows[p][WidePipeline<Q>::kIndex]);
    q.z0[p] = _mm512_load_pd(lanes[5]);
    q.z1[p] = _mm512_load_pd(lanes[6]);
    q.y[p] = _mm512_setzero_pd();
  }
  float* const left = call.channels[0];
  float* const right = stereo ? call.channels[1] : nullptr;
  const uint32_t frames = call.frames;
  const uint32_t steps = frames + kSections - 1;
  HWY_ALIGN double in[2 * kChunk];
  HWY_ALIGN double out[2 * kChunk];
  for (uint32_t begin = 0; begin < steps; begin += kChunk) {
    const uint32_t end = std::min(steps, begin + kChunk);
    for (uint32_t t = begin; t < end; ++t) {
      const bool inside = t < frames;
      in[2 * (t - begin)] = inside ? left[t] : 0.0f;
      in[2 * (t - begin) + 1] = inside && stereo ? right[t] : 0.0f;
    }
    const uint32_t full = std::clamp(kSections - 1, begin, end);
    const uint32_t drain = std::clamp(frames, full, end);
    WideSteps<true>(q, in, out, begin, full, frames);
    WideSteps<false>(q, in + 2 * (full - begin), out + 2 * (full - begin), full, drain, frames);
    WideSteps<true>(q, in + 2 * (drain - begin), out + 2 * (drain - begin), drain, end, frames);
    for (uint32_t t = std::max(begin, kSections - 1); t < end; ++t) {
      const uint32_t frame = t - (kSections - 1);
      left[frame] = static_cast<float>(out[2 * (t - begin)]);
      if (stereo) right[frame] = static_cast<float>(out[2 * (t - begin) + 1]);
    }
  }
  for (size_t p = 0; p < Q; ++p) {
    HWY_ALIGN double lanes[2][8];
    _mm512_store_pd(lanes[0], q.z0[p]);
    _mm512_store_pd(lanes[1], q.z1[p]);
    for (uint32_t h = 0; h < 4; ++h) {
      const uint32_t s = static_cast<uint32_t>(4 * p + h);
      if (s >= call.count) continue;
      call.sections[s]->ChannelState(0) = {lanes[0][2 * h], lanes[1][2 * h]};
      if (stereo) call.sections[s]->ChannelState(1) = {lanes[0][2 * h + 1], lanes[1][2 * h + 1]};
    }
  }
}
#endif

// Whether the pipelined runner takes the call, and runs it.
bool RunPipelinedCall(const CascadeCall& call) {
  if (call.channelCount > 2 || call.count < kPipelineMinSections) return false;
#if HWY_ARCH_X86 && (HWY_TARGET == HWY_AVX3 || HWY_TARGET == HWY_AVX3_DL)
  switch ((call.count + 3) / 4) {
    case 2:
      RunWidePipelined<2>(call);
      return true;
    case 3:
      RunWidePipelined<3>(call);
      return true;
    case 4:
      RunWidePipelined<4>(call);
      return true;
    default:
      break;
  }
#endif
  const hn::CappedTag<double, 4> d;
  switch ((call.count + 1) / 2) {
    case 2:
      RunPipelined<2>(d, call);
      break;
    case 3:
      RunPipelined<3>(d, call);
      break;
    case 4:
      RunPipelined<4>(d, call);
      break;
    case 5:
      RunPipelined<5>(d, call);
      break;
    case 6:
      RunPipelined<6>(d, call);
      break;
    case 7:
      RunPipelined<7>(d, call);
      break;
    case 8:
      RunPipelined<8>(d, call);
      break;
    default:
      return false;
  }
  return true;
}
#else
bool RunPipelinedCall(const CascadeCall&) {
  return false;
}
#endif

#if HWY_TARGET != HWY_SCALAR
// A short mono or stereo cascade, as the equaliser's shelves run it once per sub-block: the
// channels in the two lanes of one vector, read from and written to the float arrays directly, so
// a call costs little beyond its recursions. Each section works as in RunGroup, so the results
// are the same to the bit.
template <size_t K, bool kStereo, class D>
HWY_NOINLINE void RunShort(D d, const CascadeCall& call) {
  using V = hn::Vec<D>;
  V b0[K], b1[K], b2[K], a1[K], a2[K], w[K], y[K], z1[K];
  for (size_t k = 0; k < K; ++k) {
    const QORTechBiquad::Coefficients& c = call.sections[k]->GetCoefficients();
    b0[k] = hn::Set(d, c.b0);
    b1[k] = hn::Set(d, c.b1);
    b2[k] = hn::Set(d, c.b2);
    a1[k] = hn::Set(d, c.a1);
    a2[k] = hn::Set(d, c.a2);
    const std::array<double, 2>& left = call.sections[k]->ChannelState(0);
    const std::array<double, 2>& right = call.sections[k]->ChannelState(kStereo ? 1 : 0);
    HWY_ALIGN const double z0s[2] = {left[0], right[0]};
    HWY_ALIGN const double z1s[2] = {left[1], right[1]};
    w[k] = hn::Load(d, z0s);
    z1[k] = hn::Load(d, z1s);
    y[k] = hn::Zero(d);
  }
  float* const left = call.channels[0];
  float* const right = call.channels[kStereo ? 1 : 0];
  for (uint32_t i = 0; i < call.frames; ++i) {
    V x = hn::InterleaveLower(d, hn::Set(d, static_cast<double>(left[i])),
                              hn::Set(d, static_cast<double>(right[i])));
    for (size_t k = 0; k < K; ++k) {
      y[k] = hn::NegMulAdd(a1[k], y[k], hn::MulAdd(b0[k], x, w[k]));
      w[k] = hn::MulAdd(b1[k], x, z1[k]);
      z1[k] = hn::NegMulAdd(a2[k], y[k], hn::Mul(b2[k], x));
      x = y[k];
    }
    left[i] = static_cast<float>(hn::GetLane(x));
    if constexpr (kStereo) right[i] = static_cast<float>(hn::ExtractLane(x, 1));
  }
  for (size_t k = 0; k < K; ++k) {
    HWY_ALIGN double z0s[2];
    HWY_ALIGN double z1s[2];
    hn::Store(hn::NegMulAdd(a1[k], y[k], w[k]), d, z0s);
    hn::Store(z1[k], d, z1s);
    call.sections[k]->ChannelState(0) = {z0s[0], z1s[0]};
    if constexpr (kStereo) call.sections[k]->ChannelState(1) = {z0s[1], z1s[1]};
  }
}

template <bool kStereo>
bool RunShortStereo(const CascadeCall& call) {
  const hn::CappedTag<double, 2> d;
  switch (call.count) {
    case 1:
      RunShort<1, kStereo>(d, call);
      return true;
    case 2:
      RunShort<2, kStereo>(d, call);
      return true;
    case 3:
      RunShort<3, kStereo>(d, call);
      return true;
    case 4:
      RunShort<4, kStereo>(d, call);
      return true;
    default:
      return false;
  }
}

// A tapped pass over mono or stereo: K1 sections, then the frame's gain, then the mix written
// out, then K2 sections, each stage in one pass. Between the stages the samples are rounded to
// float as separate calls would leave them, so the result is theirs to the bit.
template <size_t K1, size_t K2, bool kStereo, class D>
HWY_NOINLINE void RunTapped(D d, const CascadeCall& call) {
  using V = hn::Vec<D>;
  constexpr size_t K = K1 + K2;
  V b0[K + 1], b1[K + 1], b2[K + 1], a1[K + 1], a2[K + 1], w[K + 1], y[K + 1], z1[K + 1];
  for (size_t k = 0; k < K; ++k) {
    const QORTechBiquad::Coefficients& c = call.sections[k]->GetCoefficients();
    b0[k] = hn::Set(d, c.b0);
    b1[k] = hn::Set(d, c.b1);
    b2[k] = hn::Set(d, c.b2);
    a1[k] = hn::Set(d, c.a1);
    a2[k] = hn::Set(d, c.a2);
    const std::array<double, 2>& left = call.sections[k]->ChannelState(0);
    const std::array<double, 2>& right = call.sections[k]->ChannelState(kStereo ? 1 : 0);
    HWY_ALIGN const double z0s[2] = {left[0], right[0]};
    HWY_ALIGN const double z1s[2] = {left[1], right[1]};
    w[k] = hn::Load(d, z0s);
    z1[k] = hn::Load(d, z1s);
    y[k] = hn::Zero(d);
  }
  float* const left = call.channels[0];
  float* const right = call.channels[kStereo ? 1 : 0];
  const float* const gains = call.gains;
  float* const mixes = call.mixes;
  const float scale = call.mixScale;
  for (uint32_t i = 0; i < call.frames; ++i) {
    float l = left[i], r = right[i];
    if constexpr (K1 > 0) {
      V x = hn::InterleaveLower(d, hn::Set(d, static_cast<double>(l)),
                                hn::Set(d, static_cast<double>(r)));
      for (size_t k = 0; k < K1; ++k) {
        y[k] = hn::NegMulAdd(a1[k], y[k], hn::MulAdd(b0[k], x, w[k]));
        w[k] = hn::MulAdd(b1[k], x, z1[k]);
        z1[k] = hn::NegMulAdd(a2[k], y[k], hn::Mul(b2[k], x));
        x = y[k];
      }
      l = static_cast<float>(hn::GetLane(x));
      r = static_cast<float>(hn::ExtractLane(x, 1));
    }
    if (gains != nullptr) {
      l *= gains[i];
      r *= gains[i];
    }
    if (mixes != nullptr) mixes[i] = (kStereo ? l + r : l) * scale;
    if constexpr (K2 > 0) {
      V x = hn::InterleaveLower(d, hn::Set(d, static_cast<double>(l)),
                                hn::Set(d, static_cast<double>(r)));
      for (size_t k = K1; k < K; ++k) {
        y[k] = hn::NegMulAdd(a1[k], y[k], hn::MulAdd(b0[k], x, w[k]));
        w[k] = hn::MulAdd(b1[k], x, z1[k]);
        z1[k] = hn::NegMulAdd(a2[k], y[k], hn::Mul(b2[k], x));
        x = y[k];
      }
      l = static_cast<float>(hn::GetLane(x));
      r = static_cast<float>(hn::ExtractLane(x, 1));
    }
    left[i] = l;
    if constexpr (kStereo) right[i] = r;
  }
  for (size_t k = 0; k < K; ++k) {
    HWY_ALIGN double z0s[2];
    HWY_ALIGN double z1s[2];
    hn::Store(hn::NegMulAdd(a1[k], y[k], w[k]), d, z0s);
    hn::Store(z1[k], d, z1s);
    call.sections[k]->ChannelState(0) = {z0s[0], z1s[0]};
    if constexpr (kStereo) call.sections[k]->ChannelState(1) = {z0s[1], z1s[1]};
  }
}

template <bool kStereo>
bool RunTappedStereo(const CascadeCall& call) {
  const hn::CappedTag<double, 2> d;
  const uint32_t after = call.count - call.split;
  if (after > 1 || call.split > 2) return false;
  switch (call.split * 2 + after) {
    case 0:
      RunTapped<0, 0, kStereo>(d, call);
      return true;
    case 1:
      RunTapped<0, 1, kStereo>(d, call);
      return true;
    case 2:
      RunTapped<1, 0, kStereo>(d, call);
      return true;
    case 3:
      RunTapped<1, 1, kStereo>(d, call);
      return true;
    case 4:
      RunTapped<2, 0, kStereo>(d, call);
      return true;
    case 5:
      RunTapped<2, 1, kStereo>(d, call);
      return true;
    default:
      return false;
  }
}

bool RunTappedCall(const CascadeCall& call) {
  if (call.channelCount == 2) return RunTappedStereo<true>(call);
  if (call.channelCount == 1) return RunTappedStereo<false>(call);
  return false;
}

// Whether the short runner takes the call, and runs it.
bool RunShortCall(const CascadeCall& call) {
  if (call.channelCount == 2) return RunShortStereo<true>(call);
  if (call.channelCount == 1) return RunShortStereo<false>(call);
  return false;
}
#else
bool RunShortCall(const CascadeCall&) {
  return false;
}
bool RunTappedCall(const CascadeCall&) {
  return false;
}
#endif

// The narrowest vector that holds the channels, so a stereo cascade does not pay for idle lanes.
void Run(const CascadeCall& call) {
  if (RunShortCall(call)) return;
  if (RunPipelinedCall(call)) return;
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
HWY_EXPORT(RunTappedCall);

namespace {
// Chosen once, when the library loads, so that no period asks the dispatcher again.
using RunFunction = void (*)(const CascadeCall&);
const RunFunction kRun = [] {
  hwy::GetChosenTarget().Update(hwy::SupportedTargets());
  return HWY_DYNAMIC_DISPATCH(Run);
}();
using TappedFunction = bool (*)(const CascadeCall&);
const TappedFunction kRunTapped = [] {
  hwy::GetChosenTarget().Update(hwy::SupportedTargets());
  return HWY_DYNAMIC_DISPATCH(RunTappedCall);
}();
}  // namespace
}  // namespace qortech

void QORTechBiquadCascade::Process(float* const* channels, uint32_t channelCount, uint32_t frames) {
  if (count_ == 0 || frames == 0 || channelCount == 0) return;
  channelCount = std::min(channelCount, QORTechBiquad::kMaxChannels);
  const qortech::CascadeCall call{sections_.data(), count_, channels, channelCount, frames};
  qortech::kRun(call);
}

bool QORTechBiquadCascade::ProcessTapped(float* const* channels, uint32_t channelCount,
                                         uint32_t frames, uint32_t split, const float* gains,
                                         float mixScale, float* mixes) {
  if (channelCount == 0 || channelCount > 2 || split > count_) return false;
  if (frames == 0) return true;
  qortech::CascadeCall call{sections_.data(), count_, channels, channelCount, frames};
  call.split = split;
  call.gains = gains;
  call.mixScale = mixScale;
  call.mixes = mixes;
  if (qortech::kRunTapped(call)) return true;
  // Stage by stage where no vector runner takes the shape.
  QORTechBiquadCascade before, after;
  for (uint32_t s = 0; s < count_; ++s) (s < split ? before : after).Add(*sections_[s]);
  before.Process(channels, channelCount, frames);
  for (uint32_t i = 0; i < frames; ++i) {
    float mix = 0.0f;
    for (uint32_t c = 0; c < channelCount; ++c) {
      if (gains != nullptr) channels[c][i] *= gains[i];
      mix += channels[c][i];
    }
    if (mixes != nullptr) mixes[i] = mix * mixScale;
  }
  after.Process(channels, channelCount, frames);
  return true;
}
#endif
