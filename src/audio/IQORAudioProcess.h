#pragma once

#include <cstdint>

#include "audio/IQORAudioData.h"

// Every transform of audio in the host: built-in blocks and wrappers of technology processes.
//
// Threads. Set-up runs on the thread that builds the process's chain: the manager's worker for a
// standby chain, the configuration thread for the first two chains and for the latency
// calculator's chains; it may allocate. Process runs on the real-time thread only, never beside
// set-up, and must not allocate, lock or do I/O.
template <typename T>
class IQORAudioProcess {
 public:
  virtual ~IQORAudioProcess() = default;
  // Set-up. Prepares for a format; false when the process cannot run with it.
  virtual bool Init(uint32_t channels, uint32_t sampleRate) = 0;
  // Set-up; Process may read the flag.
  virtual void EnableBypass(bool bypass) = 0;
  virtual bool IsBypassed() const = 0;
  // Set-up.
  // Delay the process adds, in frames at the rate given to Init, counting everything the audio goes
  // through (block rings, look-ahead, converters); a process that runs others at another rate
  // converts their frames to its own rate.
  virtual uint32_t GetLatency() const = 0;
  // Real-time. Transforms one period in place.
  virtual void Process(IQORAudioData<T>& data) = 0;
};
