#include "audio/QORAudioSampleFifo.h"

#include <algorithm>

void QORAudioSampleFifo::Reserve(size_t capacity) {
  if (capacity <= storage_.size()) return;
  std::vector<float> grown(capacity, 0.0f);
  const size_t moved = Pop(grown.data(), size_);
  storage_.swap(grown);
  head_ = 0;
  size_ = moved;
}

void QORAudioSampleFifo::Ensure(size_t count) {
  if (size_ + count > storage_.size()) Reserve(std::max(size_ + count, storage_.size() * 2));
}

void QORAudioSampleFifo::PushZeros(size_t count) {
  Ensure(count);
  for (size_t i = 0; i < count; ++i) storage_[(head_ + size_ + i) % storage_.size()] = 0.0f;
  size_ += count;
}

void QORAudioSampleFifo::Push(const float* samples, size_t count) {
  if (count == 0) return;
  Ensure(count);
  const size_t capacity = storage_.size();
  const size_t tail = (head_ + size_) % capacity;
  const size_t first = std::min(count, capacity - tail);
  std::copy(samples, samples + first, storage_.begin() + static_cast<std::ptrdiff_t>(tail));
  std::copy(samples + first, samples + count, storage_.begin());
  size_ += count;
}

size_t QORAudioSampleFifo::Pop(float* target, size_t count) {
  count = std::min(count, size_);
  if (count == 0) return 0;
  const size_t capacity = storage_.size();
  const size_t first = std::min(count, capacity - head_);
  std::copy(storage_.begin() + static_cast<std::ptrdiff_t>(head_),
            storage_.begin() + static_cast<std::ptrdiff_t>(head_ + first), target);
  std::copy(storage_.begin(), storage_.begin() + static_cast<std::ptrdiff_t>(count - first),
            target + first);
  head_ = (head_ + count) % capacity;
  size_ -= count;
  return count;
}

size_t QORAudioSampleFifo::Discard(size_t count) {
  count = std::min(count, size_);
  if (count == 0) return 0;
  head_ = (head_ + count) % storage_.size();
  size_ -= count;
  return count;
}
