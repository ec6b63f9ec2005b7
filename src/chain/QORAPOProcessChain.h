#pragma once

#include <cstdint>

#include "audio/QORAudioDataFloat.h"
#include "audio/QORAudioProcessChain.h"
#include "chain/IQORAPOProcessChainPipeHook.h"
#include "endpoint/QORAPOEndpointInfo.h"

// What runs in the audio path: a list of processes carried from the input layout to the output
// layout. Construction from the configuration comes with the technology processes; until then a
// chain is built only by its owner filling the process list, and an unbuilt chain passes audio
// through.
class QORAPOProcessChain {
 public:
  virtual ~QORAPOProcessChain() = default;

  // Carries one period; input and output may be the same buffer.
  void Process(IQORAudioData<float>& input, IQORAudioData<float>& output,
               IQORAPOProcessChainPipeHook* hook);
  // Offers this chain's processes the state of the giving chain's processes.
  void TakeStateFrom(QORAPOProcessChain& giving);
  // Back to the unbuilt state.
  void Reset();
  // Recomputes the latency for the bypassed flag and target latency.
  virtual void UpdateLatency();

  QORAudioProcessChain<float>& GetProcessList() { return processList_; }
  const QORAPOEndpointInfo& GetAppliedEndpoint() const { return appliedEndpoint_; }
  void SetAppliedEndpoint(const QORAPOEndpointInfo& endpoint) { appliedEndpoint_ = endpoint; }

  // Read and written directly by the owner and the latency calculator.
  bool constructed = false;
  bool bypassed = false;
  bool tuningPoll = false;
  int64_t targetLatency = 0;  // units of 10 ns
  uint32_t latency = 0;       // frames
  uint32_t channels = 0;
  uint32_t internalRate = 0;
  uint32_t sampleRate = 0;

 private:
  void PassThrough(IQORAudioData<float>& input, IQORAudioData<float>& output,
                   IQORAPOProcessChainPipeHook* hook);

  IQORAPOProcessChainPipeHook* pipeHook_ = nullptr;
  QORAudioProcessChain<float> processList_;
  QORAPOEndpointInfo appliedEndpoint_;
  QORAudioDataFloat workBuffer_;
};
