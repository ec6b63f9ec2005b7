#pragma once

#include <cstdint>

#include "audio/IQORAudioProcess.h"
#include "audio/QORAudioDataFloat.h"
#include "audio/QORRingBuffer.h"

// Runs a process that needs fixed blocks over periods of any length, through an input and an output
// ring that each start with one block of silence: every frame leaves 2 x block size frames after it
// entered, and each call returns as many frames as it received. Threads as for
// IQORAudioProcess.
class QORAudioProcessBlock : public IQORAudioProcess<float> {
 public:
  // Set-up.
  uint32_t GetLatency() const override { return inputRing_.GetCapacity(); }
  // Real-time: allocates nothing for periods ReservePeriod covered.
  void Process(IQORAudioData<float>& data) override;

  // Set-up: allocates the rings. Block size 0 hands every period to ProcessBlock unchanged.
  virtual void PrepareBlocks(uint32_t blockSize, uint32_t channels);
  // Real-time (from Process).
  virtual void ProcessBlock(IQORAudioData<float>& block) = 0;
  // Set-up. Sizes the period copy for periods up to frames of the prepared channels (after
  // PrepareBlocks).
  virtual void ReservePeriod(uint32_t frames);

  uint32_t GetBlockSize() const { return blockSize_; }

 private:
  QORRingBuffer<float> inputRing_;
  QORRingBuffer<float> outputRing_;
  uint32_t blockSize_ = 0;
  // Kept between periods so that steady periods do not allocate.
  QORAudioDataFloat copy_;
  QORAudioDataFloat block_;
};
