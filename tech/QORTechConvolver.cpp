#include "QORTechConvolver.h"

#include <fftw3.h>

#include <algorithm>
#include <mutex>

namespace {

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
    channel.head.assign(block, 0.0);
    std::copy_n(response.begin(), std::min<size_t>(block, response.size()), channel.head.begin());
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
  for (Channel& channel : channels_) {
    std::fill(channel.history.begin(), channel.history.end(), std::complex<double>{});
    std::fill(channel.input.begin(), channel.input.end(), 0.0);
    std::fill(channel.tail.begin(), channel.tail.end(), 0.0);
    channel.newest = 0;
  }
}

bool QORTechConvolver::TakeHistory(const QORTechConvolver& other) {
  if (&other == this || block_ == 0 || other.block_ != block_ ||
      other.channels_.size() != channels_.size()) {
    return false;
  }
  for (size_t c = 0; c < channels_.size(); ++c) {
    if (other.channels_[c].count != channels_[c].count) return false;
  }
  position_ = other.position_;
  for (size_t c = 0; c < channels_.size(); ++c) {
    const Channel& from = other.channels_[c];
    Channel& to = channels_[c];
    std::copy(from.history.begin(), from.history.end(), to.history.begin());
    std::copy(from.input.begin(), from.input.end(), to.input.begin());
    std::copy(from.tail.begin(), from.tail.end(), to.tail.begin());
    to.newest = from.newest;
  }
  return true;
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
    for (uint32_t p = 0; p < channel.count; ++p) {
      const uint32_t slot = (channel.newest + channel.count - p) % channel.count;
      const std::complex<double>* x = channel.history.data() + static_cast<size_t>(slot) * bins_;
      const std::complex<double>* h = channel.partitions.data() + static_cast<size_t>(p) * bins_;
      for (uint32_t k = 0; k < bins_; ++k) spectrum_[k] += x[k] * h[k];
    }
    fftw_execute(static_cast<fftw_plan>(inverse_));
    std::copy_n(time_ + block, block, channel.tail.data());
  }
  std::copy_n(channel.input.data() + block, block, channel.input.data());
}

void QORTechConvolver::Process(float* const* channels, uint32_t channelCount, uint32_t frames) {
  channelCount = std::min<uint32_t>(channelCount, static_cast<uint32_t>(channels_.size()));
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
        // last ones where n - j falls before this block).
        double sum = channel.tail[n];
        const double* x = input + n;
        for (uint32_t j = 0; j < block; ++j) sum += head[j] * x[-static_cast<int32_t>(j)];
        samples[i] = static_cast<float>(sum);
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
