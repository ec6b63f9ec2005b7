#include "apo/CKEL_OSFX_APO.h"

#include "apo/QORAPOClassIds.h"

const APO_REG_PROPERTIES& CKEL_OSFX_APO::Registration() {
  static const APO_REG_PROPERTIES properties =
      MakeRegistration(CLSID_KEL_OSFX_APO, L"KEL OSFX APO", IID_IKEL_OSFX_APO);
  return properties;
}

CKEL_OSFX_APO::CKEL_OSFX_APO() : CQOR_LFX_APO_Varion_Base(kLocation, Registration()) {}

HRESULT CKEL_OSFX_APO::FindInterface(REFIID iid, void** object) {
  if (iid == IID_IKEL_OSFX_APO) {
    *object = static_cast<IKEL_OSFX_APO*>(this);
    return S_OK;
  }
  return CQOR_LFX_APO_Varion_Base::FindInterface(iid, object);
}
