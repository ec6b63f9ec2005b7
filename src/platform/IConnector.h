#pragma once

#include <cstdint>

#include "platform/IUnknown.h"
#include "platform/QORMMDeviceTypes.h"

constexpr IID IID_IConnector = {
    0x9C2C4058, 0x23F5, 0x41DE, {0x87, 0x7A, 0xDF, 0x3A, 0xF2, 0x36, 0xA0, 0x9E}};

enum ConnectorType : int32_t {
  Unknown_Connector = 0,
  Physical_Internal = 1,
  Physical_External = 2,
  Software_IO = 3,
  Software_Fixed = 4,
  Network = 5,
};

// A connector of a device topology; connected connectors lead from one device to the next.
class IConnector : public IUnknown {
 public:
  virtual HRESULT GetType(ConnectorType* type) = 0;
  virtual HRESULT GetDataFlow(EDataFlow* flow) = 0;
  virtual HRESULT IsConnected(int32_t* connected) = 0;
  virtual HRESULT GetConnectedTo(IConnector** other) = 0;

 protected:
  ~IConnector() = default;
};
