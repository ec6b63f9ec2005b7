#pragma once

#include <atomic>
#include <cstdint>
#include <vector>

#include "platform/IAudioMediaType.h"
#include "platform/IAudioProcessingObject.h"
#include "platform/IAudioProcessingObjectConfiguration.h"
#include "platform/IAudioProcessingObjectRT.h"
#include "platform/QORAPOTypes.h"
#include "platform/QORComPtr.h"

// The platform's APO base: registration properties, default format checks, the recorded
// initialisation data, lock and unlock with connection validation, frame counts that pass
// unchanged. A derived class adds APOProcess and answers its interfaces through FindInterface;
// QORComAggregate supplies the reference counting.
class CBaseAudioProcessingObject : public IAudioProcessingObject,
                                   public IAudioProcessingObjectRT,
                                   public IAudioProcessingObjectConfiguration {
 public:
  explicit CBaseAudioProcessingObject(const APO_REG_PROPERTIES& properties);
  virtual ~CBaseAudioProcessingObject();
  CBaseAudioProcessingObject(const CBaseAudioProcessingObject&) = delete;
  CBaseAudioProcessingObject& operator=(const CBaseAudioProcessingObject&) = delete;

  // The three interfaces of the base (no reference added); E_NOINTERFACE otherwise.
  virtual HRESULT FindInterface(REFIID iid, void** object);

  // IAudioProcessingObject.
  HRESULT Reset() override;
  HRESULT GetLatency(HNSTIME* latency) override;
  HRESULT GetRegistrationProperties(APO_REG_PROPERTIES** properties) override;
  // Once only, and not while locked: E_POINTER for null data, E_INVALIDARG when the size is
  // shorter than APOInitBaseStruct or differs from the record's own cbSize,
  // APOERR_ALREADY_INITIALIZED the second time.
  HRESULT Initialize(UINT32 cbDataSize, BYTE* pbyData) override;
  HRESULT IsInputFormatSupported(IAudioMediaType* opposite, IAudioMediaType* requested,
                                 IAudioMediaType** supported) override;
  HRESULT IsOutputFormatSupported(IAudioMediaType* opposite, IAudioMediaType* requested,
                                  IAudioMediaType** supported) override;
  // The locked input connection's channel count; APOERR_NOT_LOCKED when unlocked.
  HRESULT GetInputChannelCount(UINT32* channels) override;

  // IAudioProcessingObjectRT: frame counts pass unchanged.
  UINT32 CalcInputFrames(UINT32 outputFrameCount) override;
  UINT32 CalcOutputFrames(UINT32 inputFrameCount) override;

  // IAudioProcessingObjectConfiguration. Locking needs Initialize first (APOERR_NOT_INITIALIZED)
  // and refuses a second lock with APOERR_ALREADY_LOCKED; unlocking an unlocked object gives
  // APOERR_NOT_LOCKED.
  HRESULT LockForProcess(UINT32 u32NumInputConnections, APO_CONNECTION_DESCRIPTOR** inputs,
                         UINT32 u32NumOutputConnections,
                         APO_CONNECTION_DESCRIPTOR** outputs) override;
  HRESULT UnlockForProcess() override;

  // Float samples with 32 valid bits in 4-byte containers.
  static bool IsFloat32(IAudioMediaType* type);

 protected:
  // Called by LockForProcess: connection counts within the registration's limits
  // (APOERR_NUM_CONNECTIONS_INVALID), every descriptor and format present and float 32
  // (E_POINTER, APOERR_INVALID_CONNECTION_FORMAT), the registration's must-match flags held
  // between the first input and the first output; on success caches both formats.
  virtual HRESULT ValidateAndCacheConnectionInfo(UINT32 u32NumInputConnections,
                                                 APO_CONNECTION_DESCRIPTOR** inputs,
                                                 UINT32 u32NumOutputConnections,
                                                 APO_CONNECTION_DESCRIPTOR** outputs);
  // The default format check, from either side.
  HRESULT CheckFormat(IAudioMediaType* opposite, IAudioMediaType* requested,
                      IAudioMediaType** supported);
  // Whether the registration's must-match flags hold between the two formats.
  bool FormatsMatch(IAudioMediaType* a, IAudioMediaType* b) const;

  const APO_REG_PROPERTIES& RegistrationProperties() const { return registration_; }
  bool IsInitialized() const { return initialized_; }
  bool IsLocked() const { return locked_.load(std::memory_order_acquire); }
  // The initialisation record as the engine gave it.
  const std::vector<uint8_t>& InitData() const { return initData_; }
  IAudioMediaType* InputFormat() const { return inputFormat_.Get(); }
  IAudioMediaType* OutputFormat() const { return outputFormat_.Get(); }

 private:
  APO_REG_PROPERTIES registration_;
  bool initialized_ = false;
  std::vector<uint8_t> initData_;
  std::atomic<bool> locked_{false};
  QORComPtr<IAudioMediaType> inputFormat_;
  QORComPtr<IAudioMediaType> outputFormat_;
};
