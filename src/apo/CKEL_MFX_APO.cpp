#include "apo/CKEL_MFX_APO.h"

#include "apo/QORAPOClassIds.h"

const APO_REG_PROPERTIES& CKEL_MFX_APO::Registration() {
  static const APO_REG_PROPERTIES properties =
      MakeRegistration(CLSID_KEL_MFX_APO, L"KEL MFX APO", IID_IKEL_MFX_APO);
  return properties;
}

CKEL_MFX_APO::CKEL_MFX_APO() : CQOR_LFX_APO_Varion_Base(kLocation, Registration()) {}

HRESULT CKEL_MFX_APO::FindInterface(REFIID iid, void** object) {
  if (iid == IID_IKEL_MFX_APO) {
    *object = static_cast<IKEL_MFX_APO*>(this);
    return S_OK;
  }
  return CQOR_LFX_APO_Varion_Base::FindInterface(iid, object);
}
