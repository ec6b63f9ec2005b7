#include "engine/QORHostEngineSetup.h"

#include "platform/IMMDeviceEnumerator.h"
#include "platform/QORComPtr.h"
#include "platform/QOREndpointStore.h"
#include "platform/QORMMDevice.h"
#include "platform/QORRegistryKey.h"

bool QORHostEngineSetup::Endpoint(bool render, uint32_t index, QORAPOEndpointInfo* out) {
  const EDataFlow flow = render ? eRender : eCapture;
  QOREndpointRecord chosen;
  if (index == 0) {
    if (FAILED(QOREndpointStore::GetDefault(flow, eConsole, &chosen))) return false;
  } else {
    std::vector<QOREndpointRecord> records;
    QOREndpointStore::List(flow, DEVICE_STATE_ACTIVE, &records);
    if (index > records.size()) return false;
    chosen = records[index - 1];
  }
  QORComPtr<IMMDevice> device;
  return SUCCEEDED(QORMMDevice::Create(flow, chosen.guid, device.Put())) &&
         out->Init(device.Get(), render);
}

bool QORHostEngineSetup::RenderEndpoint(uint32_t index, QORAPOEndpointInfo* out) {
  return Endpoint(true, index, out);
}

bool QORHostEngineSetup::CaptureEndpoint(uint32_t index, QORAPOEndpointInfo* out) {
  return Endpoint(false, index, out);
}

bool QORHostEngineSetup::RenderEndpoint(const GUID& guid, QORAPOEndpointInfo* out) {
  std::vector<QOREndpointRecord> records;
  QOREndpointStore::List(eRender, DEVICE_STATE_ACTIVE, &records);
  for (size_t i = 0; i < records.size(); ++i) {
    if (records[i].guid == guid) return RenderEndpoint(static_cast<uint32_t>(i + 1), out);
  }
  return false;
}

std::vector<int> QORHostEngineSetup::DefaultLocations(const QORAPOEndpointInfo& endpoint) {
  // Positions 1 to 3 are SFX, MFX and EFX; 0 is the local effect.
  std::vector<int> locations;
  for (int location = 1; location <= 3; ++location) {
    if (endpoint.GetPosition(location).guid != GUID_NULL) locations.push_back(location);
  }
  if (locations.empty() && endpoint.GetPosition(0).guid != GUID_NULL) locations.push_back(0);
  return locations;
}

std::wstring QORHostEngineSetup::RegisteredModule(const CLSID& clsid) {
  QORRegistryKey key;
  std::wstring path;
  if (QORRegistryKey::Open(QORRegistryHive::kClassesRoot,
                           L"CLSID\\" + QORGuidToString(clsid) + L"\\InprocServer32", KEY_READ,
                           key) != ERROR_SUCCESS ||
      key.GetString(L"", &path) != ERROR_SUCCESS) {
    path.clear();
  }
  return path;
}

std::unique_ptr<QORHostEngine> QORHostEngineSetup::Start(const QORAPOEndpointInfo& endpoint,
                                                         const std::vector<int>& locations,
                                                         const std::wstring& fallbackModule,
                                                         int channels, int rate, uint32_t frames,
                                                         std::string* error) {
  if (locations.empty()) {
    *error = "the endpoint has no effect classes registered";
    return nullptr;
  }
  std::wstring module = RegisteredModule(endpoint.GetPosition(locations[0]).guid);
  if (module.empty()) module = fallbackModule;
  auto engine = std::make_unique<QORHostEngine>();
  if (engine->LoadModule(module, error) && engine->Create(endpoint, locations, error) &&
      engine->Negotiate(channels, rate, error) && engine->Lock(frames, error)) {
    return engine;
  }
  return nullptr;
}
