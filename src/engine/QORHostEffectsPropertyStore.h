#pragma once

#include <vector>

#include "platform/IPropertyStore.h"
#include "platform/QORComObject.h"
#include "platform/QORComPtr.h"

// The system-effects property store the engine hands an APO: the endpoint's FX properties, and
// behind them the endpoint's own properties (its GUID, the effects switch), read-only.
class QORHostEffectsPropertyStore : public QORComObject<IPropertyStore> {
 public:
  static HRESULT Create(IPropertyStore* effects, IPropertyStore* endpoint, IPropertyStore** store);

  HRESULT QueryInterface(REFIID iid, void** object) override;
  HRESULT GetCount(DWORD* count) override;
  HRESULT GetAt(DWORD index, PROPERTYKEY* key) override;
  HRESULT GetValue(REFPROPERTYKEY key, PROPVARIANT* value) override;
  HRESULT SetValue(REFPROPERTYKEY key, const PROPVARIANT& value) override;
  HRESULT Commit() override;

 private:
  QORHostEffectsPropertyStore() = default;
  std::vector<PROPERTYKEY> Keys();

  QORComPtr<IPropertyStore> effects_;
  QORComPtr<IPropertyStore> endpoint_;
};
