#pragma once

#include <cstdint>

#include "audio/IQORAudioData.h"

// Every transform of audio in the host: built-in blocks and wrappers of technology processes.
template <typename T>
class IQORAudioProcess {
 public:
  virtual ~IQORAudioProcess() = default;
  // Prepares for a format; false when the process cannot run with it.
  virtual bool Init(uint32_t channels, uint32_t sampleRate) = 0;
  virtual void EnableBypass(bool bypass) = 0;
  virtual bool IsBypassed() const = 0;
  // Delay the process adds, in frames at the rate given to Init, counting everything the audio goes
  // through (block rings, look-ahead, converters); a process that runs others at another rate
  // converts their frames to its own rate.
  virtual uint32_t GetLatency() const = 0;
  // Transforms one period in place.
  virtual void Process(IQORAudioData<T>& data) = 0;
};
