#pragma once

#include <cstdint>
#include <vector>

#include "audio/IQORAudioData.h"
#include "audio/QORSampleRateConvert.h"

// Converts whole periods from one sample rate to another, for one direction of a resample chain,
// and for the side-chain pipe.
class QORResampleHandler : public QORSampleRateConvert {
 public:
  // Frames the output may exceed the ideal count of a period by.
  static constexpr uint32_t kSpareFrames = 5;

  // Set-up (the resample chain's Init): allocates. Sets the converter up for these rates and
  // channels when they changed, then primes it with 10 ms of silence. False when set-up or priming
  // failed; the next call then sets up again.
  bool Setup(uint32_t inputRate, uint32_t outputRate, uint32_t channels);

  // Set-up: Setup primes through it. Real-time: every period; no allocation within Reserve.
  // Converts source, at its rate, into destination at destination's rate; a change of rates or
  // channels sets the converter up first, which allocates (the side-chain pipe does so on the
  // real-time thread, at its first period of a new pair of rates). The destination is
  // re-initialised with the frames produced, interleaved.
  bool Convert(IQORAudioData<float>& source, IQORAudioData<float>& destination);

  // Set-up (also the side-chain pipe at a new pair of rates, on the real-time thread). Grows the
  // staging array and media buffers so that converting periods of up to sourceFrames allocates
  // nothing (the destination buffer is the caller's).
  void Reserve(uint32_t sourceFrames, uint32_t channels, uint32_t sourceRate, uint32_t destRate);

  // Any. The ideal output frame count of a source period, in 64 bits so that long periods cannot
  // wrap.
  static uint32_t ExpectedFrames(uint32_t frames, uint32_t sourceRate, uint32_t destRate);

 private:
  std::vector<float> staging_;
};
