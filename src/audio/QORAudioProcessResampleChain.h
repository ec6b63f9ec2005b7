#pragma once

#include <cstdint>
#include <vector>

#include "audio/QORAudioDataFloat.h"
#include "audio/QORAudioProcessChain.h"
#include "audio/QORAudioSampleFifo.h"
#include "audio/QORResampleHandler.h"

// A process chain whose processes run at an internal sample rate. Each period is converted to the
// internal rate, processed, converted back and re-timed through a sample FIFO with a lead of
// kLeadFrames, so that it leaves with exactly the frames it came with. Threads as for
// IQORAudioProcess: everything but Process is set-up.
class QORAudioProcessResampleChain : public QORAudioProcessChain<float> {
 public:
  static constexpr uint32_t kLeadFrames = 5;

  // Set-up.
  // Sets the converters up (when the internal rate differs from rate), restarts the FIFO with its
  // lead and initialises the processes at the internal rate. Buffers are sized here for periods
  // up to the longest of SetMaxFrames and 100 ms, so that no period the owner hands over
  // allocates.
  bool Init(uint32_t channels, uint32_t rate) override;
  // Set-up.
  // Latency convention of every chain in the host: frames at the endpoint rate (the rate given to
  // Init), counting all the audio goes through: the processes' latencies converted from the
  // internal rate, plus, when resampling, the FIFO lead and the converters' filter delay, rounded
  // to the nearest frame.
  uint32_t GetLatency() const override;
  // Real-time: periods up to the longest Init sized for allocate nothing.
  void Process(IQORAudioData<float>& data) override;

  // Set-up. Takes effect at the next Init; 0 runs the processes at the endpoint rate.
  virtual void SetInternalRate(uint32_t rate) { internalRate_ = rate; }
  // Set-up. The longest period (frames at the endpoint rate) the next Init sizes the buffers for.
  void SetMaxFrames(uint32_t frames) { maxFrames_ = frames; }
  // Set-up. The longest period at the internal rate the processes may be handed, for that longest
  // period.
  uint32_t GetMaxInternalFrames() const;

  // Set-up, or tests with the chain not processing.
  uint32_t GetInternalRate() const { return internalRate_; }
  const QORResampleHandler& GetDownHandler() const { return down_; }
  const QORResampleHandler& GetUpHandler() const { return up_; }
  // Frames held in the FIFO between periods.
  uint32_t GetQueuedFrames() const;
  // Periods that found fewer frames in the FIFO than they had to return (filled with silence).
  uint32_t GetUnderflowCount() const { return underflows_; }

 private:
  void Prepare(QORAudioDataFloat& buffer, uint32_t frames, uint32_t channels, uint32_t rate);

  uint32_t internalRate_ = 0;
  uint32_t maxFrames_ = 0;
  QORResampleHandler down_;
  QORResampleHandler up_;
  QORAudioSampleFifo fifo_;
  uint32_t rate_ = 0;
  uint32_t channels_ = 0;
  uint32_t underflows_ = 0;
  QORAudioDataFloat internal_;   // the period at the internal rate
  QORAudioDataFloat converted_;  // the period back at the endpoint rate
  std::vector<uint32_t> channelMap_;
};
