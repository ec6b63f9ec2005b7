#pragma once

#include <atomic>
#include <cstdint>
#include <vector>

// A ring of samples between exactly one writing thread and one reading thread, without a lock:
// each side moves only its own position and publishes it with release order, so neither side ever
// waits for the other (the real-time thread is one of them). Storage is allocated by the
// constructor only. Positions run freely; the storage is a power of two, so they wrap with it.
class QORSpscSampleRing {
 public:
  explicit QORSpscSampleRing(uint32_t capacity);
  QORSpscSampleRing(const QORSpscSampleRing&) = delete;
  QORSpscSampleRing& operator=(const QORSpscSampleRing&) = delete;

  uint32_t GetCapacity() const { return capacity_; }
  // Writing thread: copies as many of the samples as there is room for; the number copied.
  uint32_t Write(const float* samples, uint32_t count);
  // Reading thread: copies up to count samples out, oldest first; the number copied.
  uint32_t Read(float* samples, uint32_t count);
  // Any thread: how many samples the reader could take now.
  uint32_t GetAvailable() const;
  // Empties the ring; only while neither side uses it.
  void Reset();

 private:
  uint32_t capacity_;
  uint32_t mask_;
  std::vector<float> storage_;
  // Apart, so that the two sides do not share a cache line.
  alignas(64) std::atomic<uint32_t> write_{0};
  alignas(64) std::atomic<uint32_t> read_{0};
};
