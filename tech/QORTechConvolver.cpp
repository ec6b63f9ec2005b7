#include "QORTechConvolver.h"

#include <fftw3.h>

#include <algorithm>
#include <array>
#include <mutex>

#include "QORTechConvolverKernels.h"

namespace {

// Frames per pass through the late convolver's copy of the input.
constexpr uint32_t kLateChunk = 1024;
constexpr uint32_t kMaxLateChannels = 64;

// FFTW's planner is not reentrant; processes are made on several threads.
// Interleaved complex values, scaled, into the kernels' layout: blocks of real parts, then
// imaginary parts. Bins past the last stay as they are (zero).
template <typename T>
void Split(const double (*spectrum)[2], uint32_t bins, double scale, T* row) {
  for (uint32_t k = 0; k < bins; ++k) {
    const uint32_t block = k / qortech::kSpectralStep * 2 * qortech::kSpectralStep;
    const uint32_t at = k % qortech::kSpectralStep;
    row[block + at] = static_cast<T>(spectrum[k][0] * scale);
    row[block + qortech::kSpectralStep + at] = static_cast<T>(spectrum[k][1] * scale);
  }
}

std::mutex& PlannerMutex() {
  static std::mutex mutex;
  return mutex;
}

}  // namespace

QORTechConvolver::~QORTechConvolver() {
  DestroyPlans();
}

void QORTechConvolver::DestroyPlans() {
  const std::lock_guard<std::mutex> lock(PlannerMutex());
  if (forward_ != nullptr) fftw_destroy_plan(static_cast<fftw_plan>(forward_));
  if (inverse_ != nullptr) fftw_destroy_plan(static_cast<fftw_plan>(inverse_));
  fftw_free(time_);
  fftw_free(spectrum_);
  spectrum_ = nullptr;
  forward_ = inverse_ = nullptr;
  time_ = nullptr;
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
    late_->narrow_ = true;
    if (!late_->Init(late, static_cast<uint32_t>(split))) return false;
    lateInput_.assign(responses.size(), std::vector<float>(kLateChunk, 0.0f));
    return InitPartitions(early, block);
  }
  return InitPartitions(responses, block);
}

bool QORTechConvolver::InitPartitions(const std::vector<std::vector<float>>& responses,
                                      uint32_t block) {
  DestroyPlans();
  block_ = block;
  bins_ = block + 1;
  stride_ = (bins_ + qortech::kSpectralStep - 1) / qortech::kSpectralStep * qortech::kSpectralStep;
  {
    const std::lock_guard<std::mutex> lock(PlannerMutex());
    time_ = fftw_alloc_real(2 * block);
    spectrum_ = fftw_alloc_complex(stride_);
    // Interleaved transforms: the split ones take FFTW half as long again.
    const int size = static_cast<int>(2 * block);
    forward_ = fftw_plan_dft_r2c_1d(size, time_, spectrum_, FFTW_ESTIMATE);
    inverse_ = fftw_plan_dft_c2r_1d(size, spectrum_, time_, FFTW_ESTIMATE);
  }
  if (forward_ == nullptr || inverse_ == nullptr) return false;
  std::fill_n(&spectrum_[0][0], 2 * stride_, 0.0);
  uint32_t most = 0;
  channels_.assign(responses.size(), Channel{});
  for (size_t c = 0; c < responses.size(); ++c) {
    const std::vector<float>& response = responses[c];
    Channel& channel = channels_[c];
    // Reversed, so that the direct part walks taps and samples the same way.
    channel.head.assign(block + 2 * qortech::kDirectPad, 0.0);
    for (size_t j = 0; j < std::min<size_t>(block, response.size()); ++j) {
      channel.head[qortech::kDirectPad + block - 1 - j] = response[j];
    }
    channel.direct = std::any_of(channel.head.begin(), channel.head.end(),
                                 [](double tap) { return tap != 0.0; });
    channel.count = static_cast<uint32_t>((response.size() + block - 1) / block) - 1;
    for (uint32_t p = 0; p < channel.count; ++p) {
      const size_t first = static_cast<size_t>(p + 1) * block;
      const size_t last = std::min<size_t>(first + block, response.size());
      if (std::all_of(response.begin() + first, response.begin() + last,
                      [](float tap) { return tap == 0.0f; })) {
        continue;
      }
      // Overlap-save: the partition's taps at the front of a zeroed frame of twice the block.
      std::fill_n(time_, 2 * block, 0.0);
      for (size_t i = first; i < last; ++i) time_[i - first] = response[i];
      fftw_execute(static_cast<fftw_plan>(forward_));
      // The inverse transform is unscaled: fold its 1/N into the partitions.
      if (narrow_) {
        const size_t at = channel.narrowPartitions.size();
        channel.narrowPartitions.resize(at + 2 * stride_, 0.0f);
        Split(spectrum_, bins_, 1.0 / (2.0 * block), channel.narrowPartitions.data() + at);
      } else {
        const size_t at = channel.partitions.size();
        channel.partitions.resize(at + 2 * stride_, 0.0);
        Split(spectrum_, bins_, 1.0 / (2.0 * block), channel.partitions.data() + at);
      }
      channel.lags.push_back(p);
    }
    most = std::max(most, static_cast<uint32_t>(channel.lags.size()));
    if (narrow_) {
      channel.narrowHistory.assign(static_cast<size_t>(channel.count) * 2 * stride_, 0.0f);
    } else {
      channel.history.assign(static_cast<size_t>(channel.count) * 2 * stride_, 0.0);
    }
    channel.input.assign(2 * block + qortech::kDirectTile, 0.0);
    channel.tail.assign(block, 0.0);
  }
  direct_.assign(block + qortech::kDirectTile, 0.0);
  rows_.assign(most, nullptr);
  narrowRows_.assign(most, nullptr);
  Reset();
  return true;
}

void QORTechConvolver::Reset() {
  position_ = 0;
  if (late_ != nullptr) late_->Reset();
  for (Channel& channel : channels_) {
    std::fill(channel.history.begin(), channel.history.end(), 0.0);
    std::fill(channel.narrowHistory.begin(), channel.narrowHistory.end(), 0.0f);
    std::fill(channel.input.begin(), channel.input.end(), 0.0);
    std::fill(channel.tail.begin(), channel.tail.end(), 0.0);
    channel.newest = 0;
  }
}

bool QORTechConvolver::Matches(const QORTechConvolver& other) const {
  if (block_ == 0 || other.block_ != block_ || other.narrow_ != narrow_ ||
      other.channels_.size() != channels_.size() ||
      (other.late_ == nullptr) != (late_ == nullptr)) {
    return false;
  }
  for (size_t c = 0; c < channels_.size(); ++c) {
    if (other.channels_[c].count != channels_[c].count ||
        other.channels_[c].lags != channels_[c].lags) {
      return false;
    }
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
    std::copy(from.narrowHistory.begin(), from.narrowHistory.end(), to.narrowHistory.begin());
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
    const size_t row = 2 * static_cast<size_t>(stride_);
    // The next block's output from partition p+1 is this block's spectrum p blocks back.
    const uint32_t partitions = static_cast<uint32_t>(channel.lags.size());
    const auto slot = [&](uint32_t i) {
      return (channel.newest + channel.count - channel.lags[i]) % channel.count * row;
    };
    if (narrow_) {
      Split(spectrum_, bins_, 1.0, channel.narrowHistory.data() + channel.newest * row);
      for (uint32_t i = 0; i < partitions; ++i) {
        narrowRows_[i] = channel.narrowHistory.data() + slot(i);
      }
      qortech::NarrowSpectralSum(narrowRows_.data(), channel.narrowPartitions.data(), partitions,
                                 stride_, &spectrum_[0][0]);
    } else {
      Split(spectrum_, bins_, 1.0, channel.history.data() + channel.newest * row);
      for (uint32_t i = 0; i < partitions; ++i) rows_[i] = channel.history.data() + slot(i);
      qortech::SpectralSum(rows_.data(), channel.partitions.data(), partitions, stride_,
                           &spectrum_[0][0]);
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
      double* input = channel.input.data() + block + position_;
      for (uint32_t i = 0; i < run; ++i) input[i] = samples[i];
      const double* tail = channel.tail.data() + position_;
      if (!channel.direct) {
        for (uint32_t i = 0; i < run; ++i) samples[i] = static_cast<float>(tail[i]);
        continue;
      }
      // The first partition, directly: taps j over the samples n - j (the previous block's last
      // ones where n - j falls before this block).
      qortech::DirectOutputs(channel.head.data() + qortech::kDirectPad, input + 1 - block, block,
                             run, direct_.data());
      for (uint32_t i = 0; i < run; ++i) samples[i] = static_cast<float>(tail[i] + direct_[i]);
    }
    position_ += run;
    done += run;
    if (position_ == block) {
      for (uint32_t c = 0; c < channelCount; ++c) EndBlock(channels_[c]);
      position_ = 0;
    }
  }
}
