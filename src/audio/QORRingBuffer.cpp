#include "audio/QORRingBuffer.h"

#include <algorithm>
#include <cstring>

template <typename T>
uint32_t QORRingBuffer<T>::Channel::Free() const {
  if (capacity == 0) return 0;
  return wrapped ? read - write : (capacity - write) + read;
}

template <typename T>
uint32_t QORRingBuffer<T>::Channel::Available() const {
  if (capacity == 0) return 0;
  return wrapped ? (capacity - read) + write : write - read;
}

template <typename T>
void QORRingBuffer<T>::Channel::AdvanceWrite(uint32_t frames) {
  write += frames;
  if (write >= capacity) {
    write -= capacity;
    wrapped = !wrapped;
  }
}

template <typename T>
void QORRingBuffer<T>::Channel::AdvanceRead(uint32_t frames) {
  read += frames;
  if (read >= capacity) {
    read -= capacity;
    wrapped = !wrapped;
  }
}

template <typename T>
uint32_t QORRingBuffer<T>::Channel::Write(const T* samples, uint32_t frames) {
  if (frames == 0 || samples == nullptr || capacity == 0) return 0;
  const uint32_t first = wrapped ? read - write : capacity - write;
  const uint32_t second = wrapped ? 0 : read;
  const uint32_t n1 = std::min(first, frames);
  const uint32_t n2 = std::min(second, frames - n1);
  std::memcpy(storage.data() + write, samples, n1 * sizeof(T));
  std::memcpy(storage.data(), samples + n1, n2 * sizeof(T));
  if (n1 + n2 != 0) AdvanceWrite(n1 + n2);
  return n1 + n2;
}

template <typename T>
uint32_t QORRingBuffer<T>::Channel::Read(T* samples, uint32_t frames) {
  if (frames == 0 || samples == nullptr || capacity == 0) return 0;
  const uint32_t first = wrapped ? capacity - read : write - read;
  const uint32_t second = wrapped ? write : 0;
  const uint32_t n1 = std::min(first, frames);
  const uint32_t n2 = std::min(second, frames - n1);
  std::memcpy(samples, storage.data() + read, n1 * sizeof(T));
  std::memcpy(samples + n1, storage.data(), n2 * sizeof(T));
  if (n1 + n2 != 0) AdvanceRead(n1 + n2);
  return n1 + n2;
}

template <typename T>
void QORRingBuffer<T>::Init(uint32_t capacityFrames, uint32_t channels, bool fillWithSilence) {
  rings_.clear();
  if (capacityFrames != 0) {
    rings_.resize(channels);
    for (auto& ring : rings_) {
      ring.capacity = capacityFrames;
      ring.storage.assign(capacityFrames, T{});
    }
  }
  Reset(fillWithSilence);
}

template <typename T>
uint32_t QORRingBuffer<T>::GetCapacity() const {
  return rings_.empty() ? 0 : rings_[0].capacity;
}

template <typename T>
void QORRingBuffer<T>::Reset(bool fillWithSilence) {
  for (auto& ring : rings_) {
    ring.read = ring.write = 0;
    ring.wrapped = false;
    if (fillWithSilence) {
      std::fill(ring.storage.begin(), ring.storage.end(), T{});
      if (ring.capacity != 0) ring.AdvanceWrite(ring.capacity);
    }
  }
}

template <typename T>
uint32_t QORRingBuffer<T>::GetFreeFrames() const {
  return rings_.empty() ? 0 : rings_[0].Free();
}

template <typename T>
uint32_t QORRingBuffer<T>::GetAvailableFrames() const {
  return rings_.empty() ? 0 : rings_[0].Available();
}

template <typename T>
uint32_t QORRingBuffer<T>::Write(const T* samples, uint32_t frames) {
  return rings_.empty() ? 0 : rings_[0].Write(samples, frames);
}

template <typename T>
uint32_t QORRingBuffer<T>::Read(T* samples, uint32_t frames) {
  return rings_.empty() ? 0 : rings_[0].Read(samples, frames);
}

template <typename T>
uint32_t QORRingBuffer<T>::Write(QORAudioDataIndexed<T>& source) {
  uint32_t result = source.GetRemainingFrames();
  for (uint32_t i = 0; i < rings_.size(); ++i) {
    if (i < source.GetChannelCount()) {
      const T* samples = source.GetChannelPointer(false, i);
      result = rings_[i].Write(samples, result);
      source.ReleaseSamples();
    } else {
      // No source channel: keep the ring in step with the others. The others never take more
      // than this ring has free, but stay safe if someone drove the rings apart.
      rings_[i].AdvanceWrite(std::min(result, rings_[i].Free()));
    }
  }
  return result;
}

template <typename T>
uint32_t QORRingBuffer<T>::Read(QORAudioDataIndexed<T>& destination) {
  uint32_t result = destination.GetRemainingFrames();
  for (uint32_t i = 0; i < rings_.size(); ++i) {
    if (i < destination.GetChannelCount()) {
      T* samples = destination.GetChannelPointer(true, i);
      result = rings_[i].Read(samples, result);
      destination.ReleaseSamples();
    } else {
      rings_[i].AdvanceRead(std::min(result, rings_[i].Available()));
    }
  }
  return result;
}

template class QORRingBuffer<float>;
