#pragma once

#include <vector>

#include "platform/IMMDeviceCollection.h"
#include "platform/QORComObject.h"
#include "platform/QORComPtr.h"
#include "platform/QOREndpointStore.h"

// The endpoints an enumeration found, in store order.
class QORMMDeviceCollection : public QORComObject<IMMDeviceCollection> {
 public:
  static HRESULT Create(const std::vector<QOREndpointRecord>& endpoints,
                        IMMDeviceCollection** collection);

  HRESULT QueryInterface(REFIID iid, void** object) override;
  HRESULT GetCount(UINT* count) override;
  HRESULT Item(UINT index, IMMDevice** device) override;

 private:
  QORMMDeviceCollection() = default;

  std::vector<QORComPtr<IMMDevice>> devices_;
};
