#include "platform/QORPolicyConfig.h"

#include "platform/QOREndpointStore.h"

HRESULT QORPolicyConfig::Create(REFIID iid, void** object) {
  if (object == nullptr) return E_POINTER;
  auto* created = new QORPolicyConfig;
  const HRESULT hr = created->QueryInterface(iid, object);
  created->Release();
  return hr;
}

HRESULT QORPolicyConfig::QueryInterface(REFIID iid, void** object) {
  if (object == nullptr) return E_POINTER;
  if (iid == IID_IUnknown || iid == IID_IPolicyConfig) {
    *object = static_cast<IPolicyConfig*>(this);
    AddRef();
    return S_OK;
  }
  *object = nullptr;
  return E_NOINTERFACE;
}

HRESULT QORPolicyConfig::SetDefaultEndpoint(const wchar_t* deviceId, ERole role) {
  if (deviceId == nullptr) return E_POINTER;
  EDataFlow flow = eRender;
  GUID guid{};
  if (!QOREndpointStore::ParseId(deviceId, &flow, &guid)) return E_INVALIDARG;
  return QOREndpointStore::SetDefault(flow, role, guid);
}
