#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "audio/QORAudioDataFloat.h"
#include "audio/QORAudioProcessDelay.h"
#include "audio/QORAudioProcessResampleChain.h"
#include "chain/IQORAPOProcessChainPipeHook.h"
#include "chain/IQORAPOProcessWrapperHook.h"
#include "endpoint/QORAPOEndpointInfo.h"
#include "endpoint/QORAPOPublicSettingsReader.h"
#include "endpoint/QORAPOTunedSettings.h"
#include "settings/IQORUTSController.h"
#include "settings/QORAPOOperatingMode.h"
#include "settings/QORUTSValueList.h"

class QORAPOProcessWrapper;

// What runs in the audio path. Built from the chain entry of an operating mode that fits the
// request's layouts and direction: built-in downmix and upmix blocks and technology processes, run
// in order inside a resample chain, padded by a delay to the target latency and tuned from the
// mode's controls. Unbuilt or bypassed, it still carries the input to the output, delayed by the
// target latency, so that every chain of an endpoint and its bypass line up in time.
//
// Latency convention: frames at the endpoint rate, counting everything the audio really goes
// through (the resample chain's FIFO lead and converter filter delay included). The padding delay
// runs at the endpoint rate, in front of the resample chain, so it pads to the exact frame and the
// processes see its silence first, as they would the silence before a stream.
class QORAPOProcessChain : public IQORAPOProcessWrapperHook {
 public:
  // What to build: filled by the caller.
  struct Request {
    QORAPOEndpointInfo endpoint;
    QORAPOOperatingMode mode;
    uint32_t inputCode = 0;
    uint32_t outputCode = 0;
    uint32_t sampleRate = 0;
  };

  static constexpr uint32_t kInvalidCode = 0xFFFFFFFFu;
  static constexpr int64_t kUnitsPerSecond = 100000000;  // time values count 10 ns

  QORAPOProcessChain();
  QORAPOProcessChain(const QORAPOProcessChain&) = delete;
  QORAPOProcessChain& operator=(const QORAPOProcessChain&) = delete;
  ~QORAPOProcessChain() override;

  // Real-time: a wrapper's side-chain channel goes to (capture) or comes from (render) the pipe.
  void OnSideChain(QORAPOProcessWrapper& wrapper, IQORAudioData<float>& data) override;
  // 2 when not constructed, 1 when controls were sent, 0 when nothing changed.
  virtual uint32_t ApplyTuning();
  // The internal rate for an endpoint rate, 0 when the processes run at the endpoint rate.
  virtual uint32_t GetProcessingRate(uint32_t rate) const;
  // Sends the controls that changed since the last call (all of them after a construction).
  virtual bool SetControls(const QORUTSValueList& list);
  // Recomputes the latency and the padding delay; the owner calls it after setting bypassed.
  virtual void UpdateLatency();

  // Builder thread, never while the chain processes. False leaves an unbuilt chain that passes
  // audio through.
  bool ConstructChain(const Request& request);
  // Builder thread: remembers the format and direction of the pass-through, which runs even when
  // nothing can be built. ConstructChain does it itself.
  void PreparePassThrough(const QORAPOEndpointInfo& endpoint, uint32_t outputChannels,
                          uint32_t sampleRate);
  // Builder thread: polls the tuned settings; true when they changed.
  bool TuningChanged();
  // Real-time: carries one period. Input and output may be the same buffer.
  void Process(IQORAudioData<float>& input, IQORAudioData<float>& output,
               IQORAPOProcessChainPipeHook* hook);
  // Real-time: the pass-through of a bypassed or unbuilt chain straight between interleaved arrays
  // (the same or not overlapping) of the output layout. False, with nothing done, when the chain
  // processes, the layout differs, or a capture chain has a hook to send its output to.
  bool PassThroughInterleaved(const float* input, float* output, uint32_t frames, uint32_t channels,
                              IQORAPOProcessChainPipeHook* hook);
  // Whether PassThroughInterleaved would run.
  bool CanPassThroughInterleaved(uint32_t channels, IQORAPOProcessChainPipeHook* hook) const;
  // Real-time, at the start of a crossfade: offers this chain's processes the state of giving's.
  void TakeStateFrom(QORAPOProcessChain& giving);
  // Builder thread: back to the unbuilt state.
  void Reset();

  // Channel count of a layout code; 0 for anything but a single code.
  static uint32_t ChannelsOfCode(uint32_t code);
  // Frames of a time value at rate, to the nearest frame: a time derived from a frame count by
  // truncation gives that frame count back.
  static int64_t FramesOf(int64_t time, uint32_t rate);

  QORAudioProcessResampleChain& GetProcessList() { return processList_; }
  const QORAudioProcessDelay& GetDelay() const { return delay_; }
  size_t GetElementCount() const { return elements_.size(); }
  IQORAudioProcess<float>* GetElement(size_t index) const { return elements_[index].process; }
  const QORAPOEndpointInfo& GetAppliedEndpoint() const { return appliedEndpoint_; }
  const QORAPOOperatingMode& GetAppliedMode() const { return appliedMode_; }
  const QORUTSValueList& GetSentControls() const { return sentControls_; }
  const QORUTSValueList& GetChainControls() const { return chainControls_; }

  // Read and written directly by the owner and the latency calculator.
  bool constructed = false;
  bool bypassed = false;
  bool tuningPoll = false;
  int64_t targetLatency = 0;  // units of 10 ns
  // The longest period the owner hands over (frames at the endpoint rate); with the target latency
  // it sizes every buffer at construction, so no period of that length allocates.
  uint32_t maxPeriodFrames = 0;
  uint32_t latency = 0;  // frames at the endpoint rate
  uint32_t channels = 0;
  uint32_t internalRate = 0;
  uint32_t sampleRate = 0;

 private:
  struct Element {
    std::unique_ptr<IQORAudioProcess<float>> owner;
    IQORUTSController* controller = nullptr;
    QORAPOProcessWrapper* wrapper = nullptr;  // null for built-in blocks
    IQORAudioProcess<float>* process = nullptr;
  };
  struct Key {
    uint32_t inputCode = kInvalidCode;
    uint32_t outputCode = kInvalidCode;
    uint32_t sampleRate = 0;
    bool IsValid() const;
  };

  bool SameAsBuilt(const Request& request) const;
  bool BuildElements(const Request& request, const ChainEntry& entry);
  // The longest period the chain sizes its buffers for: maxPeriodFrames, 100 ms or a stall flush.
  uint32_t PeriodRoom() const;
  void ReserveWork();
  void PassThrough(IQORAudioData<float>& input, IQORAudioData<float>& output,
                   IQORAPOProcessChainPipeHook* hook);

  IQORAPOProcessChainPipeHook* pipeHook_ = nullptr;
  QORAudioProcessResampleChain processList_;
  Request builtRequest_;
  Key builtKey_;
  QORAPOEndpointInfo appliedEndpoint_;
  QORAPOOperatingMode appliedMode_;
  QORUTSValueList chainControls_;
  // The endpoint and mode the settings readers are attached to; kept across Reset.
  GUID tunedEndpointGuid_ = GUID_NULL;
  QORAPOModeIdentity tunedIdentity_;
  QORAPOPublicSettingsReader publicReader_;
  QORAPOTunedSettings tunedSettings_;
  QORUTSValueList sentControls_;
  QORUTSValueList tunedValues_;
  QORAudioDataFloat workBuffer_;
  std::vector<Element> elements_;
  QORAudioProcessDelay delay_;
  // The pass-through's rate and widest layout, kept across Reset: an unbuilt chain still delays
  // by the target latency.
  uint32_t passRate_ = 0;
  uint32_t passChannels_ = 0;
};
