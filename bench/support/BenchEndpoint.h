#pragma once

#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "common/QORTextConvert.h"
#include "endpoint/QORAPOEndpointInfo.h"
#include "platform/QORComPtr.h"
#include "platform/QOREndpointStore.h"
#include "platform/QORMMDevice.h"
#include "platform/QORRegistryKey.h"

namespace qorbench {

// A private state root for the benchmark run (QOR_ROOT), removed at exit.
class BenchStateRoot {
 public:
  BenchStateRoot() {
    char pattern[] = "/tmp/qorbench.XXXXXX";
    const char* made = ::mkdtemp(pattern);
    path_ = made != nullptr ? made : "";
    if (!path_.empty()) ::setenv("QOR_ROOT", path_.c_str(), 1);
  }
  ~BenchStateRoot() {
    std::error_code error;
    if (!path_.empty()) std::filesystem::remove_all(path_, error);
  }
  const std::string& Path() const { return path_; }

 private:
  std::string path_;
};

// The render endpoint of the example configuration, created in the current state root.
inline QORAPOEndpointInfo ExampleEndpoint(const std::string& root) {
  const GUID id{0x5A1B2C3D, 0x4E5F, 0x4A6B, {1, 2, 3, 4, 5, 6, 7, 8}};
  const std::string path = root + "/laptop.xml";
  std::ifstream example(QOR_EXAMPLE_CONFIGURATION);
  std::ofstream(path) << example.rdbuf();
  QOREndpointStore::Add(eRender, id, L"Speakers", DEVICE_STATE_ACTIVE);
  QORRegistryKey properties;
  QORRegistryKey::Create(QORRegistryHive::kLocalMachine,
                         QOREndpointStore::EndpointKeyPath(eRender, id) + L"\\Properties",
                         KEY_ALL_ACCESS, properties);
  properties.SetString(L"{7A8B74C8-FA66-4460-8542-D6119C59E9D4},2", QORUtf8ToWide(path));
  QORComPtr<IMMDevice> device;
  QORMMDevice::Create(eRender, id, device.Put());
  QORAPOEndpointInfo info;
  info.Init(device.Get(), true);
  QORRegistryKey subkey;
  QORRegistryKey::Create(QORRegistryHive::kLocalMachine, info.GetRegistrySubkey(), KEY_ALL_ACCESS,
                         subkey);
  return info;
}

}  // namespace qorbench
