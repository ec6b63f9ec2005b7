#pragma once

#include <cstdint>

// Hears endpoint changes: device state, default device, and (kind 3) the system-effects property.
class IQORAPOEndpointNotify {
 public:
  virtual ~IQORAPOEndpointNotify() = default;
  virtual void OnEndpointNotify(uint32_t kind) = 0;
};
