#pragma once

#include <memory>

#include "apo/CQOR_LFX_APO_Varion_Base.h"
#include "platform/IQORNamedMutex.h"
#include "platform/IUnknown.h"

// The class's own interface: it only identifies the class.
class IQOR_LFX_Capture_APO_Varion : public IUnknown {
 protected:
  ~IQOR_LFX_Capture_APO_Varion() = default;
};

// The capture APO: mono or stereo, attached at Initialize, and while locked it holds the capture
// mutex that tells render instances a capture side runs. No fade, lock ordinal or effects list.
// Threads as for the base class.
class CQOR_LFX_Capture_APO_Varion : public CQOR_LFX_APO_Varion_Base,
                                    public IQOR_LFX_Capture_APO_Varion {
 public:
  static constexpr int32_t kLocation = APO_FX_Capture;
  // Any.
  static const APO_REG_PROPERTIES& Registration();

  // Configuration.
  CQOR_LFX_Capture_APO_Varion();
  ~CQOR_LFX_Capture_APO_Varion() override;
  // Any.
  int32_t GetLocation() const override { return kLocation; }
  // Any: answers no effects-list interface.
  HRESULT FindInterface(REFIID iid, void** object) override;

  // Configuration. Exactly an APOInitSystemEffects record; attaches the manager right away
  // (location 0).
  HRESULT Initialize(UINT32 cbDataSize, BYTE* pbyData) override;
  // Configuration, with no period running: initialises the manager (see
  // ValidateAndCacheConnectionInfo) and, with an input connection, takes the capture mutex.
  HRESULT LockForProcess(UINT32 u32NumInputConnections, APO_CONNECTION_DESCRIPTOR** inputs,
                         UINT32 u32NumOutputConnections,
                         APO_CONNECTION_DESCRIPTOR** outputs) override;
  // Configuration, with no period running: releases the capture mutex, its own and the manager's.
  HRESULT UnlockForProcess() override;
  // Real-time: a valid period goes through the manager, a silent one stays silent.
  void APOProcess(UINT32 u32NumInputConnections, APO_CONNECTION_PROPERTY** inputs,
                  UINT32 u32NumOutputConnections, APO_CONNECTION_PROPERTY** outputs) override;

  // Configuration, for tests.
  bool HoldsCaptureMutex() const { return captureMutex_ != nullptr; }

 protected:
  // Configuration (from LockForProcess): initialises the manager for the format; a manager that
  // does not initialise fails the lock.
  HRESULT ValidateAndCacheConnectionInfo(UINT32 u32NumInputConnections,
                                         APO_CONNECTION_DESCRIPTOR** inputs,
                                         UINT32 u32NumOutputConnections,
                                         APO_CONNECTION_DESCRIPTOR** outputs) override;
  // Configuration (format queries): mono or stereo.
  bool IsChannelCountAccepted(uint32_t channels) const override;

 private:
  std::unique_ptr<IQORNamedMutex> captureMutex_;
};
