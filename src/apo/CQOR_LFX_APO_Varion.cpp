#include "apo/CQOR_LFX_APO_Varion.h"

#include "apo/QORAPOClassIds.h"

const APO_REG_PROPERTIES& CQOR_LFX_APO_Varion::Registration() {
  static const APO_REG_PROPERTIES properties =
      MakeRegistration(CLSID_QOR_LFX_APO_Varion, L"QOR LFX APO", IID_IQOR_LFX_APO_Varion);
  return properties;
}

CQOR_LFX_APO_Varion::CQOR_LFX_APO_Varion() : CQOR_LFX_APO_Varion_Base(kLocation, Registration()) {}

HRESULT CQOR_LFX_APO_Varion::FindInterface(REFIID iid, void** object) {
  if (iid == IID_IQOR_LFX_APO_Varion) {
    *object = static_cast<IQOR_LFX_APO_Varion*>(this);
    return S_OK;
  }
  return CQOR_LFX_APO_Varion_Base::FindInterface(iid, object);
}
