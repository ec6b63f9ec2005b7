#include "platform/QORMMDeviceEnumerator.h"

#include "platform/QOREndpointNotifier.h"
#include "platform/QOREndpointStore.h"
#include "platform/QORMMDevice.h"
#include "platform/QORMMDeviceCollection.h"

HRESULT QORMMDeviceEnumerator::Create(REFIID iid, void** object) {
  if (object == nullptr) return E_POINTER;
  auto* created = new QORMMDeviceEnumerator;
  const HRESULT hr = created->QueryInterface(iid, object);
  created->Release();
  return hr;
}

HRESULT QORMMDeviceEnumerator::QueryInterface(REFIID iid, void** object) {
  if (object == nullptr) return E_POINTER;
  if (iid == IID_IUnknown || iid == IID_IMMDeviceEnumerator) {
    *object = static_cast<IMMDeviceEnumerator*>(this);
    AddRef();
    return S_OK;
  }
  *object = nullptr;
  return E_NOINTERFACE;
}

HRESULT QORMMDeviceEnumerator::EnumAudioEndpoints(EDataFlow flow, DWORD stateMask,
                                                  IMMDeviceCollection** devices) {
  if (devices == nullptr) return E_POINTER;
  *devices = nullptr;
  std::vector<QOREndpointRecord> endpoints;
  const HRESULT hr = QOREndpointStore::List(flow, stateMask, &endpoints);
  if (FAILED(hr)) return hr;
  return QORMMDeviceCollection::Create(endpoints, devices);
}

HRESULT QORMMDeviceEnumerator::GetDefaultAudioEndpoint(EDataFlow flow, ERole role,
                                                       IMMDevice** device) {
  if (device == nullptr) return E_POINTER;
  *device = nullptr;
  QOREndpointRecord endpoint;
  const HRESULT hr = QOREndpointStore::GetDefault(flow, role, &endpoint);
  if (FAILED(hr)) return hr;
  return QORMMDevice::Create(endpoint.flow, endpoint.guid, device);
}

HRESULT QORMMDeviceEnumerator::GetDevice(const wchar_t* id, IMMDevice** device) {
  if (id == nullptr || device == nullptr) return E_POINTER;
  *device = nullptr;
  EDataFlow flow = eRender;
  GUID guid{};
  if (!QOREndpointStore::ParseId(id, &flow, &guid)) return E_NOTFOUND;
  QOREndpointRecord endpoint;
  const HRESULT hr = QOREndpointStore::Find(flow, guid, &endpoint);
  if (FAILED(hr)) return hr;
  return QORMMDevice::Create(flow, guid, device);
}

HRESULT QORMMDeviceEnumerator::RegisterEndpointNotificationCallback(IMMNotificationClient* client) {
  if (client == nullptr) return E_POINTER;
  return QOREndpointNotifier::Instance().Register(client);
}

HRESULT QORMMDeviceEnumerator::UnregisterEndpointNotificationCallback(
    IMMNotificationClient* client) {
  if (client == nullptr) return E_POINTER;
  return QOREndpointNotifier::Instance().Unregister(client);
}
