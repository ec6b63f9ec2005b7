#include "apo/CKEL_OMFX_APO.h"

#include "apo/QORAPOClassIds.h"

const APO_REG_PROPERTIES& CKEL_OMFX_APO::Registration() {
  static const APO_REG_PROPERTIES properties =
      MakeRegistration(CLSID_KEL_OMFX_APO, L"KEL OMFX APO", IID_IKEL_OMFX_APO);
  return properties;
}

CKEL_OMFX_APO::CKEL_OMFX_APO() : CQOR_LFX_APO_Varion_Base(kLocation, Registration()) {}

HRESULT CKEL_OMFX_APO::FindInterface(REFIID iid, void** object) {
  if (iid == IID_IKEL_OMFX_APO) {
    *object = static_cast<IKEL_OMFX_APO*>(this);
    return S_OK;
  }
  return CQOR_LFX_APO_Varion_Base::FindInterface(iid, object);
}
