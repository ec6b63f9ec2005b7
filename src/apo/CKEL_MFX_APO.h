#pragma once

#include "apo/CQOR_LFX_APO_Varion_Base.h"
#include "platform/IUnknown.h"

// The class's own interface: it only identifies the class.
class IKEL_MFX_APO : public IUnknown {
 protected:
  ~IKEL_MFX_APO() = default;
};

// The APO of the mode effect. It adds no operation: threads as for the base class.
class CKEL_MFX_APO : public CQOR_LFX_APO_Varion_Base, public IKEL_MFX_APO {
 public:
  static constexpr int32_t kLocation = APO_FX_MFX;
  static const APO_REG_PROPERTIES& Registration();

  CKEL_MFX_APO();
  int32_t GetLocation() const override { return kLocation; }
  HRESULT FindInterface(REFIID iid, void** object) override;
};
