#include "platform/QORRegistryPropertyStore.h"

#include "platform/QORPropVariantCodec.h"

QORRegistryPropertyStore::QORRegistryPropertyStore(QORRegistryKey key, bool writable)
    : key_(std::move(key)), writable_(writable) {
  LoadKeys();
}

HRESULT QORRegistryPropertyStore::Create(QORRegistryKey key, bool writable,
                                         IPropertyStore** store) {
  if (store == nullptr) return E_POINTER;
  *store = new QORRegistryPropertyStore(std::move(key), writable);
  return S_OK;
}

HRESULT QORRegistryPropertyStore::QueryInterface(REFIID iid, void** object) {
  if (object == nullptr) return E_POINTER;
  if (iid == IID_IUnknown || iid == IID_IPropertyStore) {
    *object = static_cast<IPropertyStore*>(this);
    AddRef();
    return S_OK;
  }
  *object = nullptr;
  return E_NOINTERFACE;
}

void QORRegistryPropertyStore::LoadKeys() {
  keys_.clear();
  if (!key_.IsOpen()) return;
  std::wstring name;
  for (uint32_t i = 0; key_.EnumValue(i, &name, nullptr, nullptr) == ERROR_SUCCESS; ++i) {
    PROPERTYKEY key{};
    if (QORPropertyKeyFromString(name, &key)) keys_.push_back(key);
  }
}

HRESULT QORRegistryPropertyStore::GetCount(DWORD* count) {
  if (count == nullptr) return E_POINTER;
  std::lock_guard<std::mutex> lock(mutex_);
  LoadKeys();
  *count = static_cast<uint32_t>(keys_.size());
  return S_OK;
}

HRESULT QORRegistryPropertyStore::GetAt(DWORD index, PROPERTYKEY* key) {
  if (key == nullptr) return E_POINTER;
  std::lock_guard<std::mutex> lock(mutex_);
  if (index >= keys_.size()) return E_INVALIDARG;
  *key = keys_[index];
  return S_OK;
}

HRESULT QORRegistryPropertyStore::GetValue(REFPROPERTYKEY key, PROPVARIANT* value) {
  if (value == nullptr) return E_POINTER;
  PropVariantInit(value);
  std::lock_guard<std::mutex> lock(mutex_);
  for (auto it = pending_.rbegin(); it != pending_.rend(); ++it) {
    if (it->key == key) {
      if (!it->remove) {
        QORPropVariantCodec::FromRegistry(it->type, it->data.data(), it->data.size(), value);
      }
      return S_OK;
    }
  }
  if (!key_.IsOpen()) return S_OK;
  uint32_t type = 0;
  std::vector<uint8_t> data;
  const uint32_t result = key_.QueryValue(QORPropertyKeyToString(key), &type, &data);
  if (result == ERROR_FILE_NOT_FOUND) return S_OK;
  if (result != ERROR_SUCCESS) return HRESULT_FROM_WIN32(result);
  // A value this store cannot read is reported as empty, as a missing one.
  QORPropVariantCodec::FromRegistry(type, data.data(), data.size(), value);
  return S_OK;
}

HRESULT QORRegistryPropertyStore::SetValue(REFPROPERTYKEY key, const PROPVARIANT& value) {
  if (!writable_) return STG_E_ACCESSDENIED;
  Pending change{key, value.vt == VT_EMPTY, 0, {}};
  if (!change.remove && !QORPropVariantCodec::ToRegistry(value, &change.type, &change.data)) {
    return E_INVALIDARG;
  }
  std::lock_guard<std::mutex> lock(mutex_);
  pending_.push_back(std::move(change));
  return S_OK;
}

HRESULT QORRegistryPropertyStore::Commit() {
  if (!writable_) return STG_E_ACCESSDENIED;
  std::lock_guard<std::mutex> lock(mutex_);
  if (!key_.IsOpen()) return pending_.empty() ? S_OK : E_FAIL;
  HRESULT hr = S_OK;
  for (const Pending& change : pending_) {
    const std::wstring name = QORPropertyKeyToString(change.key);
    uint32_t result = change.remove ? key_.DeleteValue(name)
                                    : key_.SetValue(name, change.type, change.data.data(),
                                                    static_cast<uint32_t>(change.data.size()));
    if (change.remove && result == ERROR_FILE_NOT_FOUND) result = ERROR_SUCCESS;
    if (result != ERROR_SUCCESS && SUCCEEDED(hr)) hr = HRESULT_FROM_WIN32(result);
  }
  pending_.clear();
  LoadKeys();
  return hr;
}
