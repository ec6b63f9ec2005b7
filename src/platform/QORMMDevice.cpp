#include "platform/QORMMDevice.h"

#include <cstring>

#include "platform/QORComApi.h"
#include "platform/QOREndpointStore.h"
#include "platform/QORRegistryPropertyStore.h"

QORMMDevice::QORMMDevice(EDataFlow flow, const GUID& guid)
    : flow_(flow), guid_(guid), id_(QOREndpointStore::MakeId(flow, guid)) {}

HRESULT QORMMDevice::Create(EDataFlow flow, const GUID& guid, IMMDevice** device) {
  if (device == nullptr) return E_POINTER;
  *device = new QORMMDevice(flow, guid);
  return S_OK;
}

HRESULT QORMMDevice::QueryInterface(REFIID iid, void** object) {
  if (object == nullptr) return E_POINTER;
  if (iid == IID_IUnknown || iid == IID_IMMDevice) {
    *object = static_cast<IMMDevice*>(this);
    AddRef();
    return S_OK;
  }
  *object = nullptr;
  return E_NOINTERFACE;
}

HRESULT QORMMDevice::Activate(REFIID, DWORD, PROPVARIANT*, void** object) {
  if (object == nullptr) return E_POINTER;
  *object = nullptr;
  return E_NOINTERFACE;
}

HRESULT QORMMDevice::OpenPropertyStore(DWORD access, IPropertyStore** store) {
  if (store == nullptr) return E_POINTER;
  *store = nullptr;
  if (access > STGM_READWRITE) return E_INVALIDARG;
  QOREndpointRecord record;
  const HRESULT hr = QOREndpointStore::Find(flow_, guid_, &record);
  if (FAILED(hr)) return hr;
  const std::wstring path = QOREndpointStore::EndpointKeyPath(flow_, guid_) + L"\\Properties";
  QORRegistryKey key;
  const bool writable = access != STGM_READ;
  const uint32_t result =
      writable ? QORRegistryKey::Create(QORRegistryHive::kLocalMachine, path, KEY_ALL_ACCESS, key)
               : QORRegistryKey::Open(QORRegistryHive::kLocalMachine, path, KEY_READ, key);
  // An endpoint without a Properties key has no properties.
  if (result != ERROR_SUCCESS && result != ERROR_FILE_NOT_FOUND) {
    return HRESULT_FROM_WIN32(result);
  }
  return QORRegistryPropertyStore::Create(std::move(key), writable, store);
}

HRESULT QORMMDevice::GetId(wchar_t** id) {
  if (id == nullptr) return E_POINTER;
  const size_t bytes = (id_.size() + 1) * sizeof(wchar_t);
  *id = static_cast<wchar_t*>(CoTaskMemAlloc(bytes));
  if (*id == nullptr) return E_OUTOFMEMORY;
  std::memcpy(*id, id_.c_str(), bytes);
  return S_OK;
}

HRESULT QORMMDevice::GetState(DWORD* state) {
  if (state == nullptr) return E_POINTER;
  QOREndpointRecord record;
  const HRESULT hr = QOREndpointStore::Find(flow_, guid_, &record);
  if (FAILED(hr)) return hr;
  *state = record.state;
  return S_OK;
}
