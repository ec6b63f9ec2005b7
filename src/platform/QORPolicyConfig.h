#pragma once

#include "platform/IPolicyConfig.h"
#include "platform/QORComObject.h"

// The audio policy over the endpoint store (activated with QORCoCreateInstance of
// CLSID_PolicyConfig).
class QORPolicyConfig : public QORComObject<IPolicyConfig> {
 public:
  static HRESULT Create(REFIID iid, void** object);

  HRESULT QueryInterface(REFIID iid, void** object) override;
  HRESULT SetDefaultEndpoint(const wchar_t* deviceId, ERole role) override;

 private:
  QORPolicyConfig() = default;
};
