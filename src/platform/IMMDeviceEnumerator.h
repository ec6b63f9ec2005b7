#pragma once

#include <cstdint>

#include "platform/IMMDeviceCollection.h"
#include "platform/IMMNotificationClient.h"

#ifdef _WIN32
#include "platform/QORComTypes.h"
#else
constexpr CLSID CLSID_MMDeviceEnumerator = {
    0xBCDE0395, 0xE52F, 0x467C, {0x8E, 0x3D, 0xC4, 0x57, 0x92, 0x91, 0x69, 0x2E}};
constexpr IID IID_IMMDeviceEnumerator = {
    0xA95664D2, 0x9614, 0x4F35, {0xA7, 0x46, 0xDE, 0x8D, 0xB6, 0x36, 0x17, 0xE6}};

class IMMDeviceEnumerator : public IUnknown {
 public:
  virtual HRESULT EnumAudioEndpoints(EDataFlow flow, DWORD stateMask,
                                     IMMDeviceCollection** devices) = 0;
  virtual HRESULT GetDefaultAudioEndpoint(EDataFlow flow, ERole role, IMMDevice** device) = 0;
  virtual HRESULT GetDevice(const wchar_t* id, IMMDevice** device) = 0;
  virtual HRESULT RegisterEndpointNotificationCallback(IMMNotificationClient* client) = 0;
  virtual HRESULT UnregisterEndpointNotificationCallback(IMMNotificationClient* client) = 0;

 protected:
  ~IMMDeviceEnumerator() = default;
};
#endif  // _WIN32
