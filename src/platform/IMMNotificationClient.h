#pragma once

#include <cstdint>

#include "platform/IUnknown.h"
#include "platform/QORMMDeviceTypes.h"
#include "platform/QORPropertyKey.h"

#ifdef _WIN32
#include "platform/QORComTypes.h"
#else
constexpr IID IID_IMMNotificationClient = {
    0x7991EEC9, 0x7E89, 0x4D85, {0x83, 0x90, 0x6C, 0x70, 0x3C, 0xEC, 0x60, 0xC0}};

// Called on the endpoint store's notification thread.
class IMMNotificationClient : public IUnknown {
 public:
  virtual HRESULT OnDeviceStateChanged(const wchar_t* id, DWORD newState) = 0;
  virtual HRESULT OnDeviceAdded(const wchar_t* id) = 0;
  virtual HRESULT OnDeviceRemoved(const wchar_t* id) = 0;
  virtual HRESULT OnDefaultDeviceChanged(EDataFlow flow, ERole role, const wchar_t* id) = 0;
  virtual HRESULT OnPropertyValueChanged(const wchar_t* id, const PROPERTYKEY key) = 0;

 protected:
  ~IMMNotificationClient() = default;
};
#endif  // _WIN32
