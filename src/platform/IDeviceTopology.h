#pragma once

#include <cstdint>

#include "platform/IConnector.h"
#include "platform/IPart.h"
#include "platform/IUnknown.h"

constexpr IID IID_IDeviceTopology = {
    0x2A07407E, 0x6497, 0x4A18, {0x97, 0x87, 0x32, 0xF7, 0x9B, 0xD0, 0xD9, 0x8F}};

// The topology of one device (an endpoint, or an adapter's filter), activated on its IMMDevice.
class IDeviceTopology : public IUnknown {
 public:
  virtual HRESULT GetConnectorCount(uint32_t* count) = 0;
  virtual HRESULT GetConnector(uint32_t index, IConnector** connector) = 0;
  virtual HRESULT GetPartById(uint32_t id, IPart** part) = 0;
  // The device id as CoTaskMemAlloc text; the caller frees it.
  virtual HRESULT GetDeviceId(wchar_t** id) = 0;
  virtual HRESULT GetSignalPath(IPart* from, IPart* to, int32_t rejectMixedPaths,
                                IPartsList** parts) = 0;

 protected:
  ~IDeviceTopology() = default;
};
