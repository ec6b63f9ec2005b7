#pragma once

#include <cstdint>
#include <vector>

#include "audio/IQORAudioData.h"

// The period buffer. Its arrays keep their storage across Init, so a steady stream of equal
// periods refills existing storage and allocates nothing. Threads as for IQORAudioData.
class QORAudioDataFloat : public IQORAudioData<float> {
 public:
  bool Init(uint32_t frames, uint32_t channels, uint32_t sampleRate) override;
  float* GetSamples(bool discardOther, bool interleaved) override;
  void ReleaseSamples() override {}
  uint32_t GetFrameCount() const override { return frames_; }
  uint32_t GetChannelCount() const override { return channels_; }
  void SetSampleRate(uint32_t sampleRate) override { sampleRate_ = sampleRate; }
  uint32_t GetSampleRate() const override { return sampleRate_; }
  void SetTag(uint32_t tag) override { tag_ = tag; }
  uint32_t GetTag() const override { return tag_; }
  void Clear() override;
  void CopyFrom(IQORAudioData<float>& source) override;
  void AddChannels(uint32_t count) override;
  void SetFrameCount(uint32_t frames) override { frames_ = frames; }
  void SetDefaultChannelMap() override;
  bool SetChannelMapEntry(uint32_t index, uint32_t value) override;
  uint32_t GetChannelMapEntry(uint32_t index) const override;

  // Set-up: allocates. Gives both forms storage for frames x channels samples, so that periods up
  // to that size never allocate, whichever form is asked for first.
  void Reserve(uint32_t frames, uint32_t channels);

  // Real-time (the manager's input, the pipe's period) within reserved storage.
  virtual bool Assign(const float* samples, uint32_t frames, uint32_t channels, bool interleaved,
                      uint32_t sampleRate);
  virtual uint32_t GetSizeInBytes() const { return GetSampleCount() * 4; }
  virtual uint32_t GetSampleCount() const { return frames_ * channels_; }

  bool HasInterleaved() const { return !interleaved_.empty(); }
  bool HasPlanar() const { return !planar_.empty(); }

 private:
  void InterleavedToPlanar();
  void PlanarToInterleaved();

  uint32_t frames_ = 0;
  uint32_t channels_ = 0;
  uint32_t sampleRate_ = 0xFFFFFFFF;
  uint32_t tag_ = 0;
  std::vector<uint32_t> channelMap_;
  std::vector<float> interleaved_;
  std::vector<float> planar_;
};
