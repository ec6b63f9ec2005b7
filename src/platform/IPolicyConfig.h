#pragma once

#include "platform/IUnknown.h"
#include "platform/QORMMDeviceTypes.h"

constexpr CLSID CLSID_PolicyConfig = {
    0x294935CE, 0xF637, 0x4E7C, {0xA4, 0x1B, 0xAB, 0x25, 0x54, 0x60, 0xB8, 0x62}};
constexpr IID IID_IPolicyConfig = {
    0x568B9108, 0x44BF, 0x40B4, {0x90, 0x06, 0x86, 0xAF, 0xE5, 0xB5, 0xA6, 0x20}};

// The system's audio policy: which endpoint is the default for a role.
class IPolicyConfig : public IUnknown {
 public:
  // deviceId is an endpoint id as the enumerator gives it. E_NOTFOUND for an unknown endpoint.
  virtual HRESULT SetDefaultEndpoint(const wchar_t* deviceId, ERole role) = 0;

 protected:
  ~IPolicyConfig() = default;
};
