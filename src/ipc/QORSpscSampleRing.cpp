#include "ipc/QORSpscSampleRing.h"

#include <algorithm>
#include <bit>
#include <cstring>

QORSpscSampleRing::QORSpscSampleRing(uint32_t capacity)
    : capacity_(capacity),
      mask_(std::bit_ceil(std::max<uint32_t>(capacity, 1)) - 1),
      storage_(static_cast<size_t>(mask_) + 1, 0.0f) {}

uint32_t QORSpscSampleRing::Write(const float* samples, uint32_t count) {
  if (samples == nullptr || count == 0) return 0;
  const uint32_t write = write_.load(std::memory_order_relaxed);
  const uint32_t read = read_.load(std::memory_order_acquire);
  const uint32_t n = std::min(count, capacity_ - (write - read));
  const uint32_t at = write & mask_;
  const uint32_t first = std::min(n, mask_ + 1 - at);
  std::memcpy(storage_.data() + at, samples, first * sizeof(float));
  std::memcpy(storage_.data(), samples + first, (n - first) * sizeof(float));
  write_.store(write + n, std::memory_order_release);
  return n;
}

uint32_t QORSpscSampleRing::Read(float* samples, uint32_t count) {
  if (samples == nullptr || count == 0) return 0;
  const uint32_t read = read_.load(std::memory_order_relaxed);
  const uint32_t write = write_.load(std::memory_order_acquire);
  const uint32_t n = std::min(count, write - read);
  const uint32_t at = read & mask_;
  const uint32_t first = std::min(n, mask_ + 1 - at);
  std::memcpy(samples, storage_.data() + at, first * sizeof(float));
  std::memcpy(samples + first, storage_.data(), (n - first) * sizeof(float));
  read_.store(read + n, std::memory_order_release);
  return n;
}

uint32_t QORSpscSampleRing::GetAvailable() const {
  // The read position first: the write position taken after it can only be further on.
  const uint32_t read = read_.load(std::memory_order_acquire);
  return std::min(write_.load(std::memory_order_acquire) - read, capacity_);
}

void QORSpscSampleRing::Reset() {
  read_.store(write_.load(std::memory_order_relaxed), std::memory_order_release);
}
