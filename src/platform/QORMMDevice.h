#pragma once

#include <string>

#include "platform/IMMDevice.h"
#include "platform/QORComObject.h"
#include "platform/QORMMDeviceTypes.h"

// One endpoint of the endpoint store. The object names the endpoint; its state and properties are
// read from the store at each call, so a removed endpoint gives E_NOTFOUND.
class QORMMDevice : public QORComObject<IMMDevice> {
 public:
  static HRESULT Create(EDataFlow flow, const GUID& guid, IMMDevice** device);

  HRESULT QueryInterface(REFIID iid, void** object) override;
  // No audio clients here: every interface is refused.
  HRESULT Activate(REFIID iid, DWORD context, PROPVARIANT* params, void** object) override;
  // STGM_READ opens the Properties key read-only; STGM_WRITE and STGM_READWRITE can commit.
  HRESULT OpenPropertyStore(DWORD access, IPropertyStore** store) override;
  HRESULT GetId(wchar_t** id) override;
  HRESULT GetState(DWORD* state) override;

 private:
  QORMMDevice(EDataFlow flow, const GUID& guid);

  EDataFlow flow_;
  GUID guid_;
  std::wstring id_;
};
