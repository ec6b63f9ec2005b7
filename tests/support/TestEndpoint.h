#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "common/QORPathConvert.h"
#include "endpoint/QORAPOEndpointInfo.h"
#include "platform/QORComPtr.h"
#include "platform/QOREndpointStore.h"
#include "platform/QORMMDevice.h"
#include "platform/QORRegistryKey.h"

namespace qortest {

inline GUID EndpointId(bool render) {
  return render ? GUID{0x5A1B2C3D, 0x4E5F, 0x4A6B, {1, 2, 3, 4, 5, 6, 7, 8}}
                : GUID{0x5A1B2C3E, 0x4E5F, 0x4A6B, {1, 2, 3, 4, 5, 6, 7, 9}};
}

// The endpoint that MakeEndpoint created, as another process of the same state root sees it.
inline QORAPOEndpointInfo OpenEndpoint(bool render) {
  QORComPtr<IMMDevice> device;
  EXPECT_TRUE(SUCCEEDED(
      QORMMDevice::Create(render ? eRender : eCapture, EndpointId(render), device.Put())));
  QORAPOEndpointInfo info;
  EXPECT_TRUE(info.Init(device.Get(), render));
  return info;
}

// An endpoint created in the current state root, whose configuration file is `configuration`
// (written there when xml is given), with its registry subkey created. Header-only: only tests
// that link the endpoint folder include it.
inline QORAPOEndpointInfo MakeEndpoint(bool render, const std::wstring& configuration,
                                       const std::string& xml = "") {
  const GUID id = EndpointId(render);
  const EDataFlow flow = render ? eRender : eCapture;
  QOREndpointStore::Add(flow, id, render ? L"Speakers" : L"Microphone", DEVICE_STATE_ACTIVE);
  QORRegistryKey properties;
  QORRegistryKey::Create(QORRegistryHive::kLocalMachine,
                         QOREndpointStore::EndpointKeyPath(flow, id) + L"\\Properties",
                         KEY_ALL_ACCESS, properties);
  properties.SetString(L"{7A8B74C8-FA66-4460-8542-D6119C59E9D4},2", configuration);
  if (!xml.empty()) {
    const std::filesystem::path native = QORPathConvert::ToNative(configuration);
    std::filesystem::create_directories(native.parent_path());
    std::ofstream(native) << xml;
  }
  QORAPOEndpointInfo info = OpenEndpoint(render);
  QORRegistryKey subkey;
  QORRegistryKey::Create(QORRegistryHive::kLocalMachine, info.GetRegistrySubkey(), KEY_ALL_ACCESS,
                         subkey);
  return info;
}

}  // namespace qortest
