#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "audio/IQORAudioProcess.h"

// Delays every channel of the period by the same whole number of frames. Each channel's line is
// a ring of exactly the delay samples, so periods of any length (shorter or longer than the
// delay) pass without allocation.
class QORAudioProcessDelay : public IQORAudioProcess<float> {
 public:
  // Resizes the lines to channels; with a non-zero delay brings each line to exactly the delay
  // samples, padding silence at the newest end or dropping the newest samples.
  bool Init(uint32_t channels, uint32_t sampleRate) override;
  // The owner consults the flag; Process does not.
  void EnableBypass(bool bypass) override { bypass_ = bypass; }
  bool IsBypassed() const override { return bypass_; }
  uint32_t GetLatency() const override { return delay_; }
  void Process(IQORAudioData<float>& data) override;

  virtual void SetDelay(uint32_t frames);
  // Silences the lines, so that nothing of an earlier use comes out.
  virtual void Clear();

 private:
  struct Line {
    std::vector<float> samples;  // a ring; samples[next] is the oldest
    size_t next = 0;
  };

  static void Resize(Line& line, uint32_t length);

  uint32_t delay_ = 0;
  bool bypass_ = false;
  std::vector<Line> lines_;
};
