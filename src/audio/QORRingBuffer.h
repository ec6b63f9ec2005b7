#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "audio/QORAudioDataIndexed.h"

// One ring per channel; all rings move in step. Storage is allocated by Init only. Init and Reset
// are set-up; the rest runs on the real-time thread (the block process) and, while the rings are
// prepared, at set-up.
template <typename T>
class QORRingBuffer {
 public:
  virtual ~QORRingBuffer() = default;

  virtual void Init(uint32_t capacityFrames, uint32_t channels, bool fillWithSilence);
  virtual uint32_t GetCapacity() const;
  virtual uint32_t GetChannelCount() const { return static_cast<uint32_t>(rings_.size()); }
  virtual void Reset(bool fillWithSilence);
  virtual uint32_t GetFreeFrames() const;
  // Into channel 0 only.
  virtual uint32_t Write(const T* samples, uint32_t frames);
  // All channels from the cursor's remaining frames; the caller advances the cursor by the result.
  virtual uint32_t Write(QORAudioDataIndexed<T>& source);
  virtual uint32_t GetAvailableFrames() const;
  // From channel 0 only.
  virtual uint32_t Read(T* samples, uint32_t frames);
  // All channels into the cursor's remaining frames; surplus rings are skipped ahead.
  virtual uint32_t Read(QORAudioDataIndexed<T>& destination);

 private:
  struct Channel {
    bool wrapped = false;  // write has passed the end once more than read
    uint32_t read = 0;
    uint32_t write = 0;
    uint32_t capacity = 0;
    std::vector<T> storage;

    uint32_t Free() const;
    uint32_t Available() const;
    uint32_t Write(const T* samples, uint32_t frames);
    uint32_t Read(T* samples, uint32_t frames);
    void AdvanceWrite(uint32_t frames);
    void AdvanceRead(uint32_t frames);
  };

  std::vector<Channel> rings_;
};
