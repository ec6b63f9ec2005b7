#pragma once

#include <mutex>
#include <utility>
#include <vector>

#include "platform/IPropertyStore.h"
#include "platform/QORComObject.h"
#include "platform/QORRegistryKey.h"

// A property store over one registry key whose values are named "{fmtid},pid" (an endpoint's
// Properties key); values of other names are not properties. Value forms: QORPropVariantCodec.
class QORRegistryPropertyStore : public QORComObject<IPropertyStore> {
 public:
  // Takes the key (a closed key gives an empty store); SetValue needs writable.
  static HRESULT Create(QORRegistryKey key, bool writable, IPropertyStore** store);

  HRESULT QueryInterface(REFIID iid, void** object) override;
  HRESULT GetCount(DWORD* count) override;
  HRESULT GetAt(DWORD index, PROPERTYKEY* key) override;
  HRESULT GetValue(REFPROPERTYKEY key, PROPVARIANT* value) override;
  HRESULT SetValue(REFPROPERTYKEY key, const PROPVARIANT& value) override;
  HRESULT Commit() override;

 private:
  struct Pending {
    PROPERTYKEY key;
    bool remove;
    uint32_t type;
    std::vector<uint8_t> data;
  };

  QORRegistryPropertyStore(QORRegistryKey key, bool writable);
  void LoadKeys();

  std::mutex mutex_;
  QORRegistryKey key_;
  bool writable_;
  std::vector<PROPERTYKEY> keys_;
  std::vector<Pending> pending_;
};
