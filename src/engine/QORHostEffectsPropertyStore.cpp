#include "engine/QORHostEffectsPropertyStore.h"

#include <algorithm>

#include "platform/QORPropVariant.h"

HRESULT QORHostEffectsPropertyStore::Create(IPropertyStore* effects, IPropertyStore* endpoint,
                                            IPropertyStore** store) {
  if (store == nullptr) return E_POINTER;
  auto* created = new QORHostEffectsPropertyStore();
  if (effects != nullptr) effects->AddRef();
  if (endpoint != nullptr) endpoint->AddRef();
  created->effects_ = QORComPtr<IPropertyStore>::Attach(effects);
  created->endpoint_ = QORComPtr<IPropertyStore>::Attach(endpoint);
  *store = created;
  return S_OK;
}

HRESULT QORHostEffectsPropertyStore::QueryInterface(REFIID iid, void** object) {
  if (object == nullptr) return E_POINTER;
  if (iid == IID_IUnknown || iid == IID_IPropertyStore) {
    *object = static_cast<IPropertyStore*>(this);
    AddRef();
    return S_OK;
  }
  *object = nullptr;
  return E_NOINTERFACE;
}

std::vector<PROPERTYKEY> QORHostEffectsPropertyStore::Keys() {
  std::vector<PROPERTYKEY> keys;
  for (IPropertyStore* store : {effects_.Get(), endpoint_.Get()}) {
    DWORD count = 0;
    if (store == nullptr || FAILED(store->GetCount(&count))) continue;
    for (uint32_t i = 0; i < count; ++i) {
      PROPERTYKEY key{};
      if (SUCCEEDED(store->GetAt(i, &key)) &&
          std::find(keys.begin(), keys.end(), key) == keys.end()) {
        keys.push_back(key);
      }
    }
  }
  return keys;
}

HRESULT QORHostEffectsPropertyStore::GetCount(DWORD* count) {
  if (count == nullptr) return E_POINTER;
  *count = static_cast<uint32_t>(Keys().size());
  return S_OK;
}

HRESULT QORHostEffectsPropertyStore::GetAt(DWORD index, PROPERTYKEY* key) {
  if (key == nullptr) return E_POINTER;
  const std::vector<PROPERTYKEY> keys = Keys();
  if (index >= keys.size()) return E_INVALIDARG;
  *key = keys[index];
  return S_OK;
}

HRESULT QORHostEffectsPropertyStore::GetValue(REFPROPERTYKEY key, PROPVARIANT* value) {
  if (value == nullptr) return E_POINTER;
  for (IPropertyStore* store : {effects_.Get(), endpoint_.Get()}) {
    if (store == nullptr) continue;
    PROPVARIANT found;
    PropVariantInit(&found);
    if (SUCCEEDED(store->GetValue(key, &found)) && found.vt != VT_EMPTY) {
      *value = found;  // the caller takes over what it owns
      return S_OK;
    }
    PropVariantClear(&found);
  }
  PropVariantInit(value);
  return S_OK;
}

HRESULT QORHostEffectsPropertyStore::SetValue(REFPROPERTYKEY, const PROPVARIANT&) {
  return STG_E_ACCESSDENIED;
}

HRESULT QORHostEffectsPropertyStore::Commit() {
  return STG_E_ACCESSDENIED;
}
