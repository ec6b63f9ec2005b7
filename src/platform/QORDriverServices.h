#pragma once

#include "platform/IQORDeviceInterfaces.h"
#include "platform/IQORDeviceTopologyService.h"

// The process-wide DSP driver services. The default backend finds no device and no topology;
// a test installs its own for as long as it needs them.
class QORDriverServices {
 public:
  static IQORDeviceInterfaces& DeviceInterfaces();
  static IQORDeviceTopologyService& TopologyService();
  // Null restores the default. The caller keeps ownership and must outlive its use.
  static void Install(IQORDeviceInterfaces* interfaces, IQORDeviceTopologyService* topology);
  static IQORDeviceInterfaces& DefaultDeviceInterfaces();
  static IQORDeviceTopologyService& DefaultTopologyService();
};
