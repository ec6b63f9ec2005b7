#pragma once

#include "platform/IQORDeviceTopologyService.h"

// The endpoints of the endpoint store. Their devices have no topology and no kernel-streaming
// filter, so every walk ends at activation.
class QORStoreTopologyService : public IQORDeviceTopologyService {
 public:
  HRESULT CreateDeviceEnumerator(IMMDeviceEnumerator** enumerator) override;
};
