#pragma once

#include "apo/CQOR_LFX_APO_Varion_Base.h"
#include "platform/IUnknown.h"

// The class's own interface: it only identifies the class.
class IQOR_LFX_APO_Varion : public IUnknown {
 protected:
  ~IQOR_LFX_APO_Varion() = default;
};

// The APO of the older local-effect position. It adds no operation: threads as for the base class.
class CQOR_LFX_APO_Varion : public CQOR_LFX_APO_Varion_Base, public IQOR_LFX_APO_Varion {
 public:
  static constexpr int32_t kLocation = APO_FX_PreBlue;
  static const APO_REG_PROPERTIES& Registration();

  CQOR_LFX_APO_Varion();
  int32_t GetLocation() const override { return kLocation; }
  HRESULT FindInterface(REFIID iid, void** object) override;
};
