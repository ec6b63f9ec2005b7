#include "platform/QOREndpointStore.h"

#include "platform/QORAudioEndpointKeys.h"
#include "platform/QORRegistryKey.h"
#include "platform/QORRegistryPropertyStore.h"

namespace {

constexpr wchar_t kAudioPath[] =
    L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\MMDevices\\Audio\\";
constexpr wchar_t kStateValue[] = L"DeviceState";
constexpr wchar_t kRenderPrefix[] = L"{0.0.0.00000000}.";
constexpr wchar_t kCapturePrefix[] = L"{0.0.1.00000000}.";

bool ValidFlow(EDataFlow flow) {
  return flow == eRender || flow == eCapture;
}

bool ValidState(uint32_t state) {
  return state == DEVICE_STATE_ACTIVE || state == DEVICE_STATE_DISABLED ||
         state == DEVICE_STATE_NOTPRESENT || state == DEVICE_STATE_UNPLUGGED;
}

std::wstring DefaultValueName(ERole role) {
  return L"DefaultRole" + std::to_wstring(role);
}

HRESULT OpenEndpoint(EDataFlow flow, const GUID& guid, uint32_t rights, QORRegistryKey& key) {
  if (!ValidFlow(flow)) return E_INVALIDARG;
  const uint32_t result = QORRegistryKey::Open(
      QORRegistryHive::kLocalMachine, QOREndpointStore::EndpointKeyPath(flow, guid), rights, key);
  if (result == ERROR_FILE_NOT_FOUND) return E_NOTFOUND;
  return HRESULT_FROM_WIN32(result);
}

HRESULT ListFlow(EDataFlow flow, uint32_t stateMask, std::vector<QOREndpointRecord>* out) {
  QORRegistryKey root;
  const uint32_t opened = QORRegistryKey::Open(QORRegistryHive::kLocalMachine,
                                               QOREndpointStore::FlowKeyPath(flow), KEY_READ, root);
  if (opened == ERROR_FILE_NOT_FOUND) return S_OK;
  if (opened != ERROR_SUCCESS) return HRESULT_FROM_WIN32(opened);
  std::wstring name;
  for (uint32_t i = 0; root.EnumSubKey(i, name) == ERROR_SUCCESS; ++i) {
    QOREndpointRecord record;
    QORRegistryKey endpoint;
    uint32_t state = 0;
    // Subkeys that are no endpoints (no GUID name, no state) are not listed.
    if (!QORGuidFromString(name, &record.guid) ||
        root.OpenSubKey(name, KEY_QUERY_VALUE, endpoint) != ERROR_SUCCESS ||
        endpoint.GetDword(kStateValue, &state) != ERROR_SUCCESS) {
      continue;
    }
    record.flow = flow;
    record.state = state & DEVICE_STATEMASK_ALL;
    record.id = QOREndpointStore::MakeId(flow, record.guid);
    if ((record.state & stateMask) != 0) out->push_back(std::move(record));
  }
  return S_OK;
}

}  // namespace

std::wstring QOREndpointStore::FlowKeyPath(EDataFlow flow) {
  return std::wstring(kAudioPath) + (flow == eCapture ? L"Capture" : L"Render");
}

std::wstring QOREndpointStore::EndpointKeyPath(EDataFlow flow, const GUID& guid) {
  return FlowKeyPath(flow) + L"\\" + QORGuidToString(guid, true);
}

std::wstring QOREndpointStore::MakeId(EDataFlow flow, const GUID& guid) {
  return std::wstring(flow == eCapture ? kCapturePrefix : kRenderPrefix) +
         QORGuidToString(guid, true);
}

bool QOREndpointStore::ParseId(std::wstring_view id, EDataFlow* flow, GUID* guid) {
  const std::wstring_view render(kRenderPrefix);
  const std::wstring_view capture(kCapturePrefix);
  EDataFlow parsedFlow = eRender;
  if (id.substr(0, render.size()) == render) {
    parsedFlow = eRender;
  } else if (id.substr(0, capture.size()) == capture) {
    parsedFlow = eCapture;
  } else {
    return false;
  }
  GUID parsed{};
  if (!QORGuidFromString(id.substr(render.size()), &parsed)) return false;
  if (flow != nullptr) *flow = parsedFlow;
  if (guid != nullptr) *guid = parsed;
  return true;
}

HRESULT QOREndpointStore::Add(EDataFlow flow, const GUID& guid, std::wstring_view friendlyName,
                              uint32_t state) {
  if (!ValidFlow(flow) || !ValidState(state)) return E_INVALIDARG;
  QORRegistryKey endpoint;
  bool created = false;
  uint32_t result =
      QORRegistryKey::Create(QORRegistryHive::kLocalMachine, EndpointKeyPath(flow, guid),
                             KEY_ALL_ACCESS, endpoint, &created);
  if (result != ERROR_SUCCESS) return HRESULT_FROM_WIN32(result);
  if (!created) return HRESULT_FROM_WIN32(ERROR_ALREADY_EXISTS);
  QORRegistryKey properties;
  result = endpoint.CreateSubKey(L"Properties", KEY_ALL_ACCESS, properties);
  if (result == ERROR_SUCCESS) {
    result = properties.SetString(QORPropertyKeyToString(PKEY_Device_FriendlyName), friendlyName);
  }
  // The two parts the effects compose the endpoint's display name from (its meters' names).
  std::wstring description;
  std::wstring interfaceName;
  SplitFriendlyName(friendlyName, &description, &interfaceName);
  if (result == ERROR_SUCCESS) {
    result = properties.SetString(QORPropertyKeyToString(PKEY_Device_DeviceDesc), description);
  }
  if (result == ERROR_SUCCESS) {
    result = properties.SetString(QORPropertyKeyToString(PKEY_AudioEndpoint_InterfaceName),
                                  interfaceName);
  }
  // As the system does, the store carries the endpoint's own GUID: effects find their endpoint by
  // it.
  if (result == ERROR_SUCCESS) {
    result = properties.SetString(QORPropertyKeyToString(PKEY_AudioEndpoint_GUID),
                                  QORGuidToString(guid));
  }
  // The state comes last: an endpoint without it is not listed yet.
  if (result == ERROR_SUCCESS) result = endpoint.SetDword(kStateValue, state);
  return HRESULT_FROM_WIN32(result);
}

void QOREndpointStore::SplitFriendlyName(std::wstring_view friendlyName, std::wstring* description,
                                         std::wstring* interfaceName) {
  const size_t open = friendlyName.rfind(L" (");
  if (friendlyName.size() > 3 && friendlyName.back() == L')' && open != std::wstring_view::npos &&
      open > 0 && open + 3 < friendlyName.size()) {
    *description = friendlyName.substr(0, open);
    *interfaceName = friendlyName.substr(open + 2, friendlyName.size() - open - 3);
    return;
  }
  *description = friendlyName;
  interfaceName->clear();
}

std::wstring QOREndpointStore::DisplayName(EDataFlow flow, const GUID& guid) {
  QORRegistryKey properties;
  std::wstring description;
  std::wstring interfaceName;
  if (QORRegistryKey::Open(QORRegistryHive::kLocalMachine,
                           EndpointKeyPath(flow, guid) + L"\\Properties", KEY_QUERY_VALUE,
                           properties) == ERROR_SUCCESS) {
    properties.GetString(QORPropertyKeyToString(PKEY_Device_DeviceDesc), &description);
    properties.GetString(QORPropertyKeyToString(PKEY_AudioEndpoint_InterfaceName), &interfaceName);
  }
  return interfaceName + L" " + description;
}

bool QOREndpointStore::IsDisplayNameShared(EDataFlow flow, const GUID& guid,
                                           std::wstring_view displayName) {
  std::vector<QOREndpointRecord> records;
  if (!ValidFlow(flow) || FAILED(List(flow, DEVICE_STATEMASK_ALL, &records))) return false;
  for (const QOREndpointRecord& record : records) {
    if (record.guid != guid && DisplayName(flow, record.guid) == displayName) return true;
  }
  return false;
}

HRESULT QOREndpointStore::SetState(EDataFlow flow, const GUID& guid, uint32_t state) {
  if (!ValidState(state)) return E_INVALIDARG;
  QORRegistryKey endpoint;
  const HRESULT hr = OpenEndpoint(flow, guid, KEY_ALL_ACCESS, endpoint);
  if (FAILED(hr)) return hr;
  return HRESULT_FROM_WIN32(endpoint.SetDword(kStateValue, state));
}

HRESULT QOREndpointStore::Enable(EDataFlow flow, const GUID& guid) {
  return SetState(flow, guid, DEVICE_STATE_ACTIVE);
}

HRESULT QOREndpointStore::Disable(EDataFlow flow, const GUID& guid) {
  return SetState(flow, guid, DEVICE_STATE_DISABLED);
}

HRESULT QOREndpointStore::Remove(EDataFlow flow, const GUID& guid) {
  if (!ValidFlow(flow)) return E_INVALIDARG;
  const uint32_t result =
      QORRegistryKey::DeleteTree(QORRegistryHive::kLocalMachine, EndpointKeyPath(flow, guid));
  return result == ERROR_FILE_NOT_FOUND ? E_NOTFOUND : HRESULT_FROM_WIN32(result);
}

HRESULT QOREndpointStore::SetProperty(EDataFlow flow, const GUID& guid, const PROPERTYKEY& key,
                                      const PROPVARIANT& value) {
  QORRegistryKey endpoint;
  HRESULT hr = OpenEndpoint(flow, guid, KEY_ALL_ACCESS, endpoint);
  if (FAILED(hr)) return hr;
  QORRegistryKey properties;
  const uint32_t result = endpoint.CreateSubKey(L"Properties", KEY_ALL_ACCESS, properties);
  if (result != ERROR_SUCCESS) return HRESULT_FROM_WIN32(result);
  IPropertyStore* store = nullptr;
  hr = QORRegistryPropertyStore::Create(std::move(properties), true, &store);
  if (FAILED(hr)) return hr;
  hr = store->SetValue(key, value);
  if (SUCCEEDED(hr)) hr = store->Commit();
  store->Release();
  return hr;
}

HRESULT QOREndpointStore::SetDefault(EDataFlow flow, ERole role, const GUID& guid) {
  if (role < eConsole || role > eCommunications) return E_INVALIDARG;
  QOREndpointRecord record;
  const HRESULT hr = Find(flow, guid, &record);
  if (FAILED(hr)) return hr;
  QORRegistryKey root;
  const uint32_t result =
      QORRegistryKey::Open(QORRegistryHive::kLocalMachine, FlowKeyPath(flow), KEY_ALL_ACCESS, root);
  if (result != ERROR_SUCCESS) return HRESULT_FROM_WIN32(result);
  return HRESULT_FROM_WIN32(root.SetString(DefaultValueName(role), QORGuidToString(guid, true)));
}

HRESULT QOREndpointStore::List(EDataFlow flow, uint32_t stateMask,
                               std::vector<QOREndpointRecord>* out) {
  if (out == nullptr) return E_POINTER;
  out->clear();
  if (flow != eRender && flow != eCapture && flow != eAll) return E_INVALIDARG;
  if (stateMask == 0 || (stateMask & ~DEVICE_STATEMASK_ALL) != 0) return E_INVALIDARG;
  HRESULT hr = S_OK;
  if (flow != eCapture) hr = ListFlow(eRender, stateMask, out);
  if (SUCCEEDED(hr) && flow != eRender) hr = ListFlow(eCapture, stateMask, out);
  return hr;
}

HRESULT QOREndpointStore::Find(EDataFlow flow, const GUID& guid, QOREndpointRecord* out) {
  if (out == nullptr) return E_POINTER;
  QORRegistryKey endpoint;
  const HRESULT hr = OpenEndpoint(flow, guid, KEY_QUERY_VALUE, endpoint);
  if (FAILED(hr)) return hr;
  uint32_t state = 0;
  if (endpoint.GetDword(kStateValue, &state) != ERROR_SUCCESS) return E_NOTFOUND;
  out->flow = flow;
  out->guid = guid;
  out->id = MakeId(flow, guid);
  out->state = state & DEVICE_STATEMASK_ALL;
  return S_OK;
}

HRESULT QOREndpointStore::GetDefault(EDataFlow flow, ERole role, QOREndpointRecord* out) {
  if (out == nullptr) return E_POINTER;
  if (!ValidFlow(flow) || role < eConsole || role > eCommunications) return E_INVALIDARG;
  QORRegistryKey root;
  std::wstring chosen;
  GUID guid{};
  if (QORRegistryKey::Open(QORRegistryHive::kLocalMachine, FlowKeyPath(flow), KEY_QUERY_VALUE,
                           root) == ERROR_SUCCESS &&
      root.GetString(DefaultValueName(role), &chosen) == ERROR_SUCCESS &&
      QORGuidFromString(chosen, &guid) && SUCCEEDED(Find(flow, guid, out)) &&
      out->state == DEVICE_STATE_ACTIVE) {
    return S_OK;
  }
  std::vector<QOREndpointRecord> active;
  const HRESULT hr = List(flow, DEVICE_STATE_ACTIVE, &active);
  if (FAILED(hr)) return hr;
  if (active.empty()) return E_NOTFOUND;
  *out = active.front();
  return S_OK;
}
