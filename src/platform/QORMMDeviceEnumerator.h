#pragma once

#include "platform/IMMDeviceEnumerator.h"
#include "platform/QORComObject.h"

// The endpoint enumerator over the endpoint store (activated with QORCoCreateInstance of
// CLSID_MMDeviceEnumerator). Notification clients are registered process-wide, so a client stays
// registered after the enumerator that registered it is released.
class QORMMDeviceEnumerator : public QORComObject<IMMDeviceEnumerator> {
 public:
  static HRESULT Create(REFIID iid, void** object);

  HRESULT QueryInterface(REFIID iid, void** object) override;
  HRESULT EnumAudioEndpoints(EDataFlow flow, DWORD stateMask,
                             IMMDeviceCollection** devices) override;
  HRESULT GetDefaultAudioEndpoint(EDataFlow flow, ERole role, IMMDevice** device) override;
  HRESULT GetDevice(const wchar_t* id, IMMDevice** device) override;
  HRESULT RegisterEndpointNotificationCallback(IMMNotificationClient* client) override;
  HRESULT UnregisterEndpointNotificationCallback(IMMNotificationClient* client) override;

 private:
  QORMMDeviceEnumerator() = default;
};
