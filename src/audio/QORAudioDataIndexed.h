#pragma once

#include <cstdint>

#include "audio/IQORAudioData.h"

// A cursor that walks a buffer it does not own, frame by frame, over the buffer's planar form.
// Real-time (the block process's rings), and set-up when the rings are filled with their first
// silence. It holds no storage; it allocates only where the buffer's GetSamples would.
template <typename T>
class QORAudioDataIndexed {
 public:
  explicit QORAudioDataIndexed(IQORAudioData<T>& data) : data_(data) {}
  virtual ~QORAudioDataIndexed() = default;

  virtual void ClampIndex() {
    if (index_ >= data_.GetFrameCount()) index_ = data_.GetFrameCount();
  }
  virtual void SetIndex(uint32_t index) { index_ = index; }
  virtual void Advance(uint32_t frames) { index_ += frames; }
  // Pointer to the channel's sample at the cursor, in the planar form; null when the buffer is
  // empty.
  virtual T* GetChannelPointer(bool discardOther, uint32_t channel) {
    T* planar = data_.GetSamples(discardOther, false);
    if (planar == nullptr) return nullptr;
    return planar + static_cast<size_t>(channel) * data_.GetFrameCount() + index_;
  }
  virtual void ReleaseSamples() { data_.ReleaseSamples(); }
  virtual uint32_t GetFrameCount() const { return data_.GetFrameCount(); }
  virtual uint32_t GetRemainingFrames() const {
    return index_ < data_.GetFrameCount() ? data_.GetFrameCount() - index_ : 0;
  }
  virtual uint32_t GetIndex() const { return index_; }
  virtual uint32_t GetChannelCount() const { return data_.GetChannelCount(); }
  virtual uint32_t GetSampleRate() const { return data_.GetSampleRate(); }
  virtual uint32_t GetTag() const { return data_.GetTag(); }
  virtual void Clear() { data_.Clear(); }

 private:
  IQORAudioData<T>& data_;
  uint32_t index_ = 0;
};
