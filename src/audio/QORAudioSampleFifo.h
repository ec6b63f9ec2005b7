#pragma once

#include <cstddef>
#include <vector>

// A first-in first-out queue of samples in a ring of fixed storage: pushing and popping never
// allocate unless a push exceeds the reserved capacity. Reserve is set-up (also a side-chain
// period longer than the pipe reserved, on the real-time thread); Clear and PushZeros run at
// set-up; Push, Pop and Discard on the real-time thread.
class QORAudioSampleFifo {
 public:
  // Grows the storage to hold at least capacity samples, keeping the queued ones.
  void Reserve(size_t capacity);
  void Clear() { head_ = size_ = 0; }
  void PushZeros(size_t count);
  void Push(const float* samples, size_t count);
  // Moves up to count samples from the front into target; returns how many were moved.
  size_t Pop(float* target, size_t count);
  // Drops up to count samples from the front; returns how many were dropped.
  size_t Discard(size_t count);
  size_t GetSize() const { return size_; }
  size_t GetCapacity() const { return storage_.size(); }

 private:
  // Makes room for count more samples.
  void Ensure(size_t count);

  std::vector<float> storage_;
  size_t head_ = 0;
  size_t size_ = 0;
};
