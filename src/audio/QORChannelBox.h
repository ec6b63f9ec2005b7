#pragma once

#include <algorithm>
#include <cstdint>

// A non-owning view of an interleaved block, used to move a period between blocks whose channel
// counts differ. Real-time (the process chain); a view, it never allocates.
template <typename T>
class QORChannelBox {
 public:
  QORChannelBox(T* samples, uint32_t channels, uint32_t frames)
      : samples_(samples), channels_(channels), frames_(frames) {}
  virtual ~QORChannelBox() = default;

  // Copies the shared channels of every frame from source into this block. The frame count is this
  // block's, unless it is 0 or not smaller than the source's. Channels this block has beyond the
  // source's keep what they held. Returns the frames copied.
  uint32_t CopyFrom(const QORChannelBox& source) {
    const uint32_t frames = (frames_ == 0 || frames_ >= source.frames_) ? source.frames_ : frames_;
    if (samples_ == nullptr || source.samples_ == nullptr) return 0;
    const uint32_t shared = std::min(channels_, source.channels_);
    for (uint32_t f = 0; f < frames; ++f) {
      const T* from = source.samples_ + static_cast<size_t>(f) * source.channels_;
      T* to = samples_ + static_cast<size_t>(f) * channels_;
      std::copy(from, from + shared, to);
    }
    return frames;
  }

  T* GetSamples() const { return samples_; }
  uint32_t GetChannelCount() const { return channels_; }
  uint32_t GetFrameCount() const { return frames_; }

 private:
  T* samples_;
  uint32_t channels_;
  uint32_t frames_;
};
