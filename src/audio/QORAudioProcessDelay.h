#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "audio/IQORAudioProcess.h"

// Delays every channel of the period by the same whole number of frames. The lines are one
// interleaved ring of exactly delay frames, so periods of any length (shorter or longer than the
// delay) pass without allocation, and a period in the interleaved form is delayed by exchanging
// whole runs of samples with the ring. Set-up runs where the owning chain is built or retuned
// (its UpdateLatency); Process and ProcessInterleaved run on the real-time thread.
class QORAudioProcessDelay : public IQORAudioProcess<float> {
 public:
  // Set-up: may allocate. Resizes the lines to channels; with a non-zero delay brings each line to
  // exactly the delay samples, padding silence at the newest end or dropping the newest samples.
  bool Init(uint32_t channels, uint32_t sampleRate) override;
  // Set-up. The owner consults the flag; Process does not.
  void EnableBypass(bool bypass) override { bypass_ = bypass; }
  bool IsBypassed() const override { return bypass_; }
  // Set-up, or the configuration thread with the chain not processing.
  uint32_t GetLatency() const override { return delay_; }
  // Real-time: no allocation. Periods of another channel count than Init's delay their first
  // channels (up to Init's count).
  void Process(IQORAudioData<float>& data) override;

  // Real-time (a chain that passes audio through): no allocation. Delays interleaved frames of
  // Init's channel count from in to out, which may be the same array (or not overlap at all),
  // without a buffer between them.
  void ProcessInterleaved(const float* in, float* out, uint32_t frames);

  // Set-up: resizes the lines, so it may allocate.
  virtual void SetDelay(uint32_t frames);
  // Set-up and real-time.
  uint32_t GetChannels() const { return channels_; }
  // Set-up. Silences the lines, so that nothing of an earlier use comes out.
  virtual void Clear();

 private:
  void Resize(uint32_t channels, uint32_t frames);

  uint32_t delay_ = 0;
  bool bypass_ = false;
  uint32_t channels_ = 0;
  std::vector<float> ring_;  // delay_ frames of channels_ samples; frame `next_` is the oldest
  size_t next_ = 0;          // in frames
};
