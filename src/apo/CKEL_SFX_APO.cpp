#include "apo/CKEL_SFX_APO.h"

#include "apo/QORAPOClassIds.h"

const APO_REG_PROPERTIES& CKEL_SFX_APO::Registration() {
  static const APO_REG_PROPERTIES properties =
      MakeRegistration(CLSID_KEL_SFX_APO, L"KEL SFX APO", IID_IKEL_SFX_APO);
  return properties;
}

CKEL_SFX_APO::CKEL_SFX_APO() : CQOR_LFX_APO_Varion_Base(kLocation, Registration()) {}

HRESULT CKEL_SFX_APO::FindInterface(REFIID iid, void** object) {
  if (iid == IID_IKEL_SFX_APO) {
    *object = static_cast<IKEL_SFX_APO*>(this);
    return S_OK;
  }
  return CQOR_LFX_APO_Varion_Base::FindInterface(iid, object);
}
