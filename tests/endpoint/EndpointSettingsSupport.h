#pragma once

#include <chrono>
#include <cstdint>
#include <string>

#include "ThreadEnd.h"
#include "endpoint/QORAPOEndpointInfo.h"
#include "platform/QORComPtr.h"
#include "platform/QOREndpointStore.h"
#include "platform/QORMMDevice.h"
#include "platform/QORRegistryKey.h"
#include "settings/QORAPOOperatingMode.h"
#include "settings/QORPropertySet.h"

// Shared by the tests of the settings kept under an endpoint's registry key.
namespace endpointsettings {

constexpr GUID kEndpoint = {
    0x5C3E2A10, 0x7B4D, 0x4E8F, {0x9A, 0x1B, 0x2C, 0x3D, 0x4E, 0x5F, 0x60, 0x71}};

// The endpoint record, as a host process builds it; add puts the endpoint into the store first
// (a child process finds it there).
inline bool MakeEndpoint(QORAPOEndpointInfo& info, bool add) {
  if (add && FAILED(QOREndpointStore::Add(eRender, kEndpoint, L"Speakers", DEVICE_STATE_ACTIVE)))
    return false;
  QORComPtr<IMMDevice> device;
  if (FAILED(QORMMDevice::Create(eRender, kEndpoint, device.Put()))) return false;
  return info.Init(device.Get(), true);
}

// A mode with two public controls and one private one.
inline QORAPOOperatingMode MusicMode() {
  QORAPOOperatingMode mode;
  mode.GetModeIdentity() = QORAPOModeIdentity("VAPO3-Music", "VAPO3-Speakers");
  mode.GetPublicControls().Set(QORUTSValue("VAPO3-Process Enable", "1"));
  mode.GetPublicControls().Set(QORUTSValue("Bass Level", "3"));
  mode.GetPrivateControls().Set(QORUTSValue("Tech Gain", "7"));
  mode.GetControls() = mode.GetPublicControls();
  mode.GetControls().Merge(mode.GetPrivateControls(), QORUTSValueList::kMergeReplaceAndAdd);
  return mode;
}

inline QORRegistryKey EndpointKey(const QORAPOEndpointInfo& info) {
  QORRegistryKey key;
  QORRegistryKey::Open(QORRegistryHive::kLocalMachine, info.GetRegistrySubkey(), KEY_ALL_ACCESS,
                       key);
  return key;
}

inline QORPropertySet::Bytes BinaryOf(const PropertyList& entries) {
  QORPropertySet set;
  set.SetAllProperties(entries, false);
  QORPropertySet::Bytes bytes;
  set.GetAllPropertiesBinary(bytes);
  return bytes;
}

// Steady clock, comparable between processes.
inline int64_t NowUs() {
  return std::chrono::duration_cast<std::chrono::microseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

using qortest::CurrentThreadId;
using qortest::WaitForThreadEnd;

}  // namespace endpointsettings
