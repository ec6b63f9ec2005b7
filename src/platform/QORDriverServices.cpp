#include "platform/QORDriverServices.h"

#include <atomic>

#include "platform/QORNoDeviceInterfaces.h"
#include "platform/QORStoreTopologyService.h"

namespace {

std::atomic<IQORDeviceInterfaces*> g_interfaces{nullptr};
std::atomic<IQORDeviceTopologyService*> g_topology{nullptr};

}  // namespace

IQORDeviceInterfaces& QORDriverServices::DefaultDeviceInterfaces() {
  static QORNoDeviceInterfaces none;
  return none;
}

IQORDeviceTopologyService& QORDriverServices::DefaultTopologyService() {
  static QORStoreTopologyService store;
  return store;
}

IQORDeviceInterfaces& QORDriverServices::DeviceInterfaces() {
  IQORDeviceInterfaces* installed = g_interfaces.load(std::memory_order_acquire);
  return installed != nullptr ? *installed : DefaultDeviceInterfaces();
}

IQORDeviceTopologyService& QORDriverServices::TopologyService() {
  IQORDeviceTopologyService* installed = g_topology.load(std::memory_order_acquire);
  return installed != nullptr ? *installed : DefaultTopologyService();
}

void QORDriverServices::Install(IQORDeviceInterfaces* interfaces,
                                IQORDeviceTopologyService* topology) {
  g_interfaces.store(interfaces, std::memory_order_release);
  g_topology.store(topology, std::memory_order_release);
}
