#include "platform/QORMMDeviceCollection.h"

#include "platform/QORMMDevice.h"

HRESULT QORMMDeviceCollection::Create(const std::vector<QOREndpointRecord>& endpoints,
                                      IMMDeviceCollection** collection) {
  if (collection == nullptr) return E_POINTER;
  auto* created = new QORMMDeviceCollection;
  for (const QOREndpointRecord& endpoint : endpoints) {
    QORComPtr<IMMDevice> device;
    QORMMDevice::Create(endpoint.flow, endpoint.guid, device.Put());
    created->devices_.push_back(std::move(device));
  }
  *collection = created;
  return S_OK;
}

HRESULT QORMMDeviceCollection::QueryInterface(REFIID iid, void** object) {
  if (object == nullptr) return E_POINTER;
  if (iid == IID_IUnknown || iid == IID_IMMDeviceCollection) {
    *object = static_cast<IMMDeviceCollection*>(this);
    AddRef();
    return S_OK;
  }
  *object = nullptr;
  return E_NOINTERFACE;
}

HRESULT QORMMDeviceCollection::GetCount(UINT* count) {
  if (count == nullptr) return E_POINTER;
  *count = static_cast<uint32_t>(devices_.size());
  return S_OK;
}

HRESULT QORMMDeviceCollection::Item(UINT index, IMMDevice** device) {
  if (device == nullptr) return E_POINTER;
  *device = nullptr;
  if (index >= devices_.size()) return E_INVALIDARG;
  *device = devices_[index].Get();
  (*device)->AddRef();
  return S_OK;
}
