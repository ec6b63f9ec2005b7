#pragma once

#include "platform/IMMDeviceEnumerator.h"

// Where the driver queries find audio endpoints whose devices answer IDeviceTopology and
// IKsControl through IMMDevice::Activate.
class IQORDeviceTopologyService {
 public:
  virtual ~IQORDeviceTopologyService() = default;
  virtual HRESULT CreateDeviceEnumerator(IMMDeviceEnumerator** enumerator) = 0;
};
