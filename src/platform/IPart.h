#pragma once

#include <cstdint>

#include "platform/IPartsList.h"
#include "platform/IUnknown.h"

class IDeviceTopology;

constexpr IID IID_IPart = {
    0xAE2DE0E4, 0x5BCA, 0x4F2D, {0xAA, 0x46, 0x5D, 0x13, 0xF8, 0xFD, 0xB3, 0xA9}};

enum PartType : int32_t { Connector = 0, Subunit = 1 };

// One node of a device topology: a connector or a subunit, linked to its neighbours. Connector
// parts also answer IConnector through QueryInterface.
class IPart : public IUnknown {
 public:
  virtual HRESULT GetLocalId(uint32_t* id) = 0;
  virtual HRESULT GetPartType(PartType* type) = 0;
  virtual HRESULT EnumPartsIncoming(IPartsList** parts) = 0;
  virtual HRESULT EnumPartsOutgoing(IPartsList** parts) = 0;
  virtual HRESULT GetTopologyObject(IDeviceTopology** topology) = 0;
  // A control interface of the part (the selectors).
  virtual HRESULT Activate(uint32_t context, REFIID iid, void** object) = 0;

 protected:
  ~IPart() = default;
};
