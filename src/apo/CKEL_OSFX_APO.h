#pragma once

#include "apo/CQOR_LFX_APO_Varion_Base.h"
#include "platform/IUnknown.h"

// The class's own interface: it only identifies the class.
class IKEL_OSFX_APO : public IUnknown {
 protected:
  ~IKEL_OSFX_APO() = default;
};

// The APO of the offload stream effect. It adds no operation: threads as for the base class.
class CKEL_OSFX_APO : public CQOR_LFX_APO_Varion_Base, public IKEL_OSFX_APO {
 public:
  static constexpr int32_t kLocation = APO_FX_OSFX;
  static const APO_REG_PROPERTIES& Registration();

  CKEL_OSFX_APO();
  int32_t GetLocation() const override { return kLocation; }
  HRESULT FindInterface(REFIID iid, void** object) override;
};
