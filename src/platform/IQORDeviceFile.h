#pragma once

#include <cstdint>

// An opened device: fixed-layout requests through device I/O control. The output buffer travels
// to the driver too (direct output), so it is sent pre-filled.
class IQORDeviceFile {
 public:
  virtual ~IQORDeviceFile() = default;
  // True when the driver completed the request; returned is the count of output bytes it wrote,
  // error the system error code of a failure.
  virtual bool IoControl(uint32_t code, const void* input, uint32_t inputSize, void* output,
                         uint32_t outputSize, uint32_t* returned, uint32_t* error) = 0;
};
