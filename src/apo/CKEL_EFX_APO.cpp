#include "apo/CKEL_EFX_APO.h"

#include "apo/QORAPOClassIds.h"

const APO_REG_PROPERTIES& CKEL_EFX_APO::Registration() {
  static const APO_REG_PROPERTIES properties =
      MakeRegistration(CLSID_KEL_EFX_APO, L"KEL EFX APO", IID_IKEL_EFX_APO);
  return properties;
}

CKEL_EFX_APO::CKEL_EFX_APO() : CQOR_LFX_APO_Varion_Base(kLocation, Registration()) {}

HRESULT CKEL_EFX_APO::FindInterface(REFIID iid, void** object) {
  if (iid == IID_IKEL_EFX_APO) {
    *object = static_cast<IKEL_EFX_APO*>(this);
    return S_OK;
  }
  return CQOR_LFX_APO_Varion_Base::FindInterface(iid, object);
}
