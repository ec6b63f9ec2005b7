#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include "audio/QORAudioDataFloat.h"
#include "audio/QORAudioProcessBlock.h"
#include "chain/IQORAPOProcessWrapperHook.h"
#include "chain/QORAPOProcessLibrary.h"
#include "chain/QORTechProcess.h"
#include "settings/IQORUTSController.h"

// One technology process as an element of a chain: an audio process fed in the process's own block
// size, and a controller that accepts the controls addressed to its instance.
//
// Threads. Set-up (Create, Init, SetControl) runs on the thread that builds the wrapper's chain:
// the manager's worker for a standby chain, the configuration thread for the first two chains
// and for the latency calculator's chains; it may allocate. Process, ProcessBlock and TakeState
// run on the real-time thread, never beside set-up; the wrapper allocates nothing there.
class QORAPOProcessWrapper : public IQORUTSController, public QORAudioProcessBlock {
 public:
  // The chain element's hook name that connects a process to the side-chain pipe, and the two
  // technologies that use it: the first receives side-chain audio, the second sends it.
  static constexpr char kSideChainHook[] = "Sidechain Pipe";
  static constexpr char kReceivingTechId[] = "QOR Clarix+";
  static constexpr char kSendingTechId[] = "QOR AEC/NR";

  // Set-up (the chain's build and Reset).
  QORAPOProcessWrapper();
  QORAPOProcessWrapper(const QORAPOProcessWrapper&) = delete;
  QORAPOProcessWrapper& operator=(const QORAPOProcessWrapper&) = delete;
  ~QORAPOProcessWrapper() override;

  // Set-up: the chain sends its controls as it is built. Nothing in the host reads them back
  // (GetControl, GetControlInfo); tests do, on the same terms.
  // A name "Inst:Control" reaches only the wrapper of instance Inst; a name "POS:Control" reaches
  // every instance of position POS (instance ids are "POS_..."), and instances of the offload
  // positions also take the controls of their plain positions; a name without prefix reaches all.
  // Reading takes the instance's own prefix only.
  bool GetControl(QORUTSValue& value) override;
  bool SetControl(const QORUTSValue& value) override;
  int32_t GetControlInfo(std::vector<QORUTSControlInfo>& list) override;

  // Set-up.
  // Creates the process of techId; hookTarget is kept only for hook "Sidechain Pipe" and the two
  // side-chain technologies. False leaves the wrapper without a process.
  virtual bool Create(const std::string& techId, const std::string& instanceId,
                      const std::string& hook, IQORAPOProcessWrapperHook* hookTarget);
  // Set-up. Block latency plus the process's own delay, in frames.
  virtual uint32_t GetTotalLatency() const;
  // Set-up.
  // The whole delay the element adds (GetTotalLatency): a chain padded to a common latency must
  // count the process's own look-ahead too, or it would shift in time at every switch.
  uint32_t GetLatency() const override { return GetTotalLatency(); }

  // Set-up: allocates the rings and the period records. False leaves the wrapper unblocked and
  // passing audio through untouched.
  bool Init(uint32_t channels, uint32_t sampleRate) override;
  // Any: an atomic flag; the period path does not consult it.
  void EnableBypass(bool bypass) override;
  bool IsBypassed() const override;
  // Real-time (from Process): runs the technology process on one block; its side-chain calls
  // reach the chain's hook on the same thread.
  void ProcessBlock(IQORAudioData<float>& block) override;
  // Set-up. The side-chain buffer too: a process without a block size hands over whole periods.
  void ReservePeriod(uint32_t frames) override;

  // Real-time, at the first period of a crossfade (the chain's TakeStateFrom). Offers this
  // wrapper's process the running state of giving's process; true when it took it.
  bool TakeState(QORAPOProcessWrapper& giving);

  // Fixed by Create: read at set-up, on the real-time thread and by GetHostState.
  TechProcess* GetProcess() const { return process_; }
  const std::string& GetInstanceId() const { return instanceId_; }
  const std::string& GetTechId() const { return techId_; }
  // Set-up, and tests.
  uint32_t GetChannels() const { return channels_; }
  uint32_t GetSampleRate() const { return sampleRate_; }

 private:
  static void OnSideChainCall(TechChannel* channel, uint32_t frames, void* context);
  void OnSideChain(TechChannel& channel, uint32_t frames);
  bool AcceptsPrefix(const std::string& prefix, bool withAlias) const;

  std::string instanceId_;
  std::string techId_;
  QORAPOProcessLibrary library_;
  TechProcess* process_ = nullptr;
  IQORAPOProcessWrapperHook* sendHook_ = nullptr;
  IQORAPOProcessWrapperHook* receiveHook_ = nullptr;
  std::atomic<uint32_t> bypass_{0};
  uint32_t channels_ = 0;
  uint32_t sampleRate_ = 0;
  // The process is called only after its Init succeeded.
  bool initialised_ = false;
  // Period-path storage, sized by Init.
  std::vector<TechChannel> records_;
  TechCallback callback_{};
  QORAudioDataFloat sideChain_;
};
