#include "QORTechConvolver.h"

#include <fftw3.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <mutex>

namespace {

// Four doubles, as the compiler's vector extension: one AVX register, or two SSE ones.
using Quad = double __attribute__((vector_size(32)));
using QuadIndex = int64_t __attribute__((vector_size(32)));

// Through a pointer: a vector returned by value would change the calling convention.
void LoadQuad(Quad* to, const double* from) {
  std::memcpy(to, from, sizeof(Quad));
}

// The products run on the widest vectors the processor has: built for each, chosen at load. Free
// functions of this file, so that the choosers stay out of the library's exports.
#define QOR_CONVOLVER_VECTORS \
  __attribute__((target_clones("arch=x86-64-v4", "arch=x86-64-v3", "default")))

// Taps (last to first) over the samples they meet, in eight running sums in vector lanes.
QOR_CONVOLVER_VECTORS double DirectPart(const double* head, const double* x, uint32_t taps) {
  Quad first = {}, second = {};
  for (uint32_t j = 0; j < taps; j += 8) {
    Quad h0, h1, x0, x1;
    LoadQuad(&h0, head + j);
    LoadQuad(&h1, head + j + 4);
    LoadQuad(&x0, x + j);
    LoadQuad(&x1, x + j + 4);
    first += h0 * x0;
    second += h1 * x1;
  }
  const Quad both = first + second;
  return (both[0] + both[1]) + (both[2] + both[3]);
}

// sum += x h over bins interleaved complex values, two bins a step: (a + ib)(c + id) =
// (ac - bd) + i(ad + bc), the parts in vector lanes. The library's complex product would guard
// against infinities with a call per product, which finite spectra never need.
QOR_CONVOLVER_VECTORS void MultiplyAdd(double* sum, const double* x, const double* h,
                                       uint32_t bins) {
  uint32_t k = 0;
  for (; k + 4 <= 2 * bins; k += 4) {
    Quad xv, hv, acc;
    LoadQuad(&xv, x + k);
    LoadQuad(&hv, h + k);
    LoadQuad(&acc, sum + k);
    const Quad swapped = __builtin_shuffle(xv, QuadIndex{1, 0, 3, 2});
    const Quad real = __builtin_shuffle(hv, QuadIndex{0, 0, 2, 2});
    const Quad imaginary = __builtin_shuffle(hv, QuadIndex{1, 1, 3, 3});
    acc += xv * real + swapped * imaginary * Quad{-1.0, 1.0, -1.0, 1.0};
    std::memcpy(sum + k, &acc, sizeof(acc));
  }
  for (; k < 2 * bins; k += 2) {
    sum[k] += x[k] * h[k] - x[k + 1] * h[k + 1];
    sum[k + 1] += x[k] * h[k + 1] + x[k + 1] * h[k];
  }
}

// Frames per pass through the late convolver's copy of the input.
constexpr uint32_t kLateChunk = 1024;
constexpr uint32_t kMaxLateChannels = 64;

// FFTW's planner is not reentrant; processes are made on several threads.
std::mutex& PlannerMutex() {
  static std::mutex mutex;
  return mutex;
}

}  // namespace

QORTechConvolver::~QORTechConvolver() {
  const std::lock_guard<std::mutex> lock(PlannerMutex());
  if (forward_ != nullptr) fftw_destroy_plan(static_cast<fftw_plan>(forward_));
  if (inverse_ != nullptr) fftw_destroy_plan(static_cast<fftw_plan>(inverse_));
  fftw_free(time_);
  fftw_free(spectrum_);
}

bool QORTechConvolver::Init(const std::vector<std::vector<float>>& responses, uint32_t block) {
  if (block < 16 || (block & (block - 1)) != 0 || responses.empty()) return false;
  for (const auto& response : responses) {
    if (response.empty()) return false;
  }
  late_.reset();
  lateInput_.clear();
  size_t longest = 0;
  for (const auto& response : responses) longest = std::max(longest, response.size());
  const size_t split = static_cast<size_t>(kLateFactor) * block;
  if (longest > 2 * split && responses.size() <= kMaxLateChannels) {
    // The late convolver's first partition is the early one's last taps' silence: its direct part
    // is skipped, and its first long partition starts where the short ones end.
    std::vector<std::vector<float>> early(responses.size()), late(responses.size());
    for (size_t c = 0; c < responses.size(); ++c) {
      const auto& response = responses[c];
      early[c].assign(response.begin(), response.begin() + std::min(split, response.size()));
      late[c].assign(std::max(response.size(), split + 1), 0.0f);
      std::copy(response.begin() + std::min(split, response.size()), response.end(),
                late[c].begin() + split);
    }
    late_ = std::make_unique<QORTechConvolver>();
    if (!late_->Init(late, static_cast<uint32_t>(split))) return false;
    lateInput_.assign(responses.size(), std::vector<float>(kLateChunk, 0.0f));
    return InitPartitions(early, block);
  }
  return InitPartitions(responses, block);
}

bool QORTechConvolver::InitPartitions(const std::vector<std::vector<float>>& responses,
                                      uint32_t block) {
  {
    const std::lock_guard<std::mutex> lock(PlannerMutex());
    if (forward_ != nullptr) fftw_destroy_plan(static_cast<fftw_plan>(forward_));
    if (inverse_ != nullptr) fftw_destroy_plan(static_cast<fftw_plan>(inverse_));
    fftw_free(time_);
    fftw_free(spectrum_);
    block_ = block;
    bins_ = block + 1;
    time_ = fftw_alloc_real(2 * block);
    spectrum_ = reinterpret_cast<std::complex<double>*>(fftw_alloc_complex(bins_));
    auto* spectrum = reinterpret_cast<fftw_complex*>(spectrum_);
    forward_ = fftw_plan_dft_r2c_1d(static_cast<int>(2 * block), time_, spectrum, FFTW_ESTIMATE);
    inverse_ = fftw_plan_dft_c2r_1d(static_cast<int>(2 * block), spectrum, time_, FFTW_ESTIMATE);
  }
  channels_.assign(responses.size(), Channel{});
  for (size_t c = 0; c < responses.size(); ++c) {
    const std::vector<float>& response = responses[c];
    Channel& channel = channels_[c];
    // Reversed, so that the direct part walks taps and samples the same way.
    channel.head.assign(block, 0.0);
    for (size_t j = 0; j < std::min<size_t>(block, response.size()); ++j) {
      channel.head[block - 1 - j] = response[j];
    }
    channel.direct = std::any_of(channel.head.begin(), channel.head.end(),
                                 [](double tap) { return tap != 0.0; });
    channel.count = static_cast<uint32_t>((response.size() + block - 1) / block) - 1;
    channel.partitions.assign(static_cast<size_t>(channel.count) * bins_, {});
    for (uint32_t p = 0; p < channel.count; ++p) {
      // Overlap-save: the partition's taps at the front of a zeroed frame of twice the block.
      std::fill_n(time_, 2 * block, 0.0);
      const size_t first = static_cast<size_t>(p + 1) * block;
      for (size_t i = first; i < std::min<size_t>(first + block, response.size()); ++i) {
        time_[i - first] = response[i];
      }
      fftw_execute(static_cast<fftw_plan>(forward_));
      // The inverse transform is unscaled: fold its 1/N into the partitions.
      for (uint32_t k = 0; k < bins_; ++k) {
        channel.partitions[static_cast<size_t>(p) * bins_ + k] = spectrum_[k] / (2.0 * block);
      }
    }
    channel.history.assign(static_cast<size_t>(channel.count) * bins_, {});
    channel.input.assign(2 * block, 0.0);
    channel.tail.assign(block, 0.0);
  }
  Reset();
  return true;
}

void QORTechConvolver::Reset() {
  position_ = 0;
  if (late_ != nullptr) late_->Reset();
  for (Channel& channel : channels_) {
    std::fill(channel.history.begin(), channel.history.end(), std::complex<double>{});
    std::fill(channel.input.begin(), channel.input.end(), 0.0);
    std::fill(channel.tail.begin(), channel.tail.end(), 0.0);
    channel.newest = 0;
  }
}

bool QORTechConvolver::Matches(const QORTechConvolver& other) const {
  if (block_ == 0 || other.block_ != block_ || other.channels_.size() != channels_.size() ||
      (other.late_ == nullptr) != (late_ == nullptr)) {
    return false;
  }
  for (size_t c = 0; c < channels_.size(); ++c) {
    if (other.channels_[c].count != channels_[c].count) return false;
  }
  return late_ == nullptr || late_->Matches(*other.late_);
}

bool QORTechConvolver::TakeHistory(const QORTechConvolver& other) {
  if (&other == this || !Matches(other)) return false;
  position_ = other.position_;
  for (size_t c = 0; c < channels_.size(); ++c) {
    const Channel& from = other.channels_[c];
    Channel& to = channels_[c];
    std::copy(from.history.begin(), from.history.end(), to.history.begin());
    std::copy(from.input.begin(), from.input.end(), to.input.begin());
    std::copy(from.tail.begin(), from.tail.end(), to.tail.begin());
    to.newest = from.newest;
  }
  // The long partitions' history too, or a long response's tail would start afresh.
  return late_ == nullptr || late_->TakeHistory(*other.late_);
}

void QORTechConvolver::EndBlock(Channel& channel) {
  const uint32_t block = block_;
  if (channel.count > 0) {
    std::copy_n(channel.input.data(), 2 * block, time_);
    fftw_execute(static_cast<fftw_plan>(forward_));
    channel.newest = (channel.newest + 1) % channel.count;
    std::copy_n(spectrum_, bins_,
                channel.history.data() + static_cast<size_t>(channel.newest) * bins_);
    // The next block's output from partition p+1 is this block's spectrum p blocks back.
    std::fill_n(spectrum_, bins_, std::complex<double>{});
    auto* sum = reinterpret_cast<double*>(spectrum_);
    for (uint32_t p = 0; p < channel.count; ++p) {
      const uint32_t slot = (channel.newest + channel.count - p) % channel.count;
      const auto* x = reinterpret_cast<const double*>(channel.history.data() +
                                                      static_cast<size_t>(slot) * bins_);
      const auto* h = reinterpret_cast<const double*>(channel.partitions.data() +
                                                      static_cast<size_t>(p) * bins_);
      MultiplyAdd(sum, x, h, bins_);
    }
    fftw_execute(static_cast<fftw_plan>(inverse_));
    std::copy_n(time_ + block, block, channel.tail.data());
  }
  std::copy_n(channel.input.data() + block, block, channel.input.data());
}

void QORTechConvolver::Process(float* const* channels, uint32_t channelCount, uint32_t frames) {
  channelCount = std::min<uint32_t>(channelCount, static_cast<uint32_t>(channels_.size()));
  if (late_ == nullptr) {
    ProcessPartitions(channels, channelCount, frames);
    return;
  }
  std::array<float*, kMaxLateChannels> early{};
  std::array<float*, kMaxLateChannels> late{};
  for (uint32_t done = 0; done < frames; done += kLateChunk) {
    const uint32_t n = std::min(kLateChunk, frames - done);
    for (uint32_t c = 0; c < channelCount; ++c) {
      early[c] = channels[c] + done;
      late[c] = lateInput_[c].data();
      std::copy_n(early[c], n, late[c]);
    }
    ProcessPartitions(early.data(), channelCount, n);
    late_->Process(late.data(), channelCount, n);
    for (uint32_t c = 0; c < channelCount; ++c) {
      for (uint32_t i = 0; i < n; ++i) early[c][i] += late[c][i];
    }
  }
}

void QORTechConvolver::ProcessPartitions(float* const* channels, uint32_t channelCount,
                                         uint32_t frames) {
  const uint32_t block = block_;
  for (uint32_t done = 0; done < frames;) {
    const uint32_t run = std::min(frames - done, block - position_);
    for (uint32_t c = 0; c < channelCount; ++c) {
      Channel& channel = channels_[c];
      float* samples = channels[c] + done;
      double* input = channel.input.data() + block;
      const double* head = channel.head.data();
      for (uint32_t i = 0; i < run; ++i) {
        const uint32_t n = position_ + i;
        input[n] = samples[i];
        // The first partition, directly: taps j over the samples n - j (the previous block's
        // last ones where n - j falls before this block), in eight running sums in vector lanes.
        if (!channel.direct) {
          samples[i] = static_cast<float>(channel.tail[n]);
          continue;
        }
        const double* x = input + n + 1 - block;
        const double sum = DirectPart(head, x, block);
        samples[i] = static_cast<float>(channel.tail[n] + sum);
      }
    }
    position_ += run;
    done += run;
    if (position_ == block) {
      for (uint32_t c = 0; c < channelCount; ++c) EndBlock(channels_[c]);
      position_ = 0;
    }
  }
}
