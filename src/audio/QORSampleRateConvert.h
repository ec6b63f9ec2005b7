#pragma once

#include <cstdint>

#include "audio/CMediaBuffer.h"
#include "platform/IMediaObject.h"
#include "platform/QORComPtr.h"

// Set-up and streaming over the platform's resampler media object for one direction of
// conversion. Equal input and output rates need no media object: the streaming call copies.
// Threads: the owner's (QORResampleHandler).
class QORSampleRateConvert {
 public:
  QORSampleRateConvert() = default;
  QORSampleRateConvert(const QORSampleRateConvert&) = delete;
  QORSampleRateConvert& operator=(const QORSampleRateConvert&) = delete;
  virtual ~QORSampleRateConvert();

  // Set-up: allocates. Creates the media object when absent and gives it the stored rates with
  // these channels as interleaved float. On failure the object is released so that the next call
  // starts afresh.
  bool InitMediaObject(uint32_t channels);

  // Real-time and set-up: allocates only for a call larger than ReserveSamples covered. Converts
  // as much as the media object accepts. Counts are in samples: on entry the input available and
  // the output room, on return the input consumed and the output produced.
  bool Resample(const float* input, uint32_t* inputCount, float* output, uint32_t* outputCount);

  // Set-up. Grows the media buffers so that streaming calls of up to these counts allocate nothing.
  void ReserveSamples(uint32_t inputCount, uint32_t outputCount);

  // Set-up (the resample chain's latency). The media object's delay from input to output in 100-ns
  // units; 0 without one.
  int64_t GetDelay() const;

  bool HasMediaObject() const { return static_cast<bool>(mediaObject_); }
  uint32_t GetInputRate() const { return inputRate_; }
  uint32_t GetOutputRate() const { return outputRate_; }
  uint32_t GetChannels() const { return channels_; }

 protected:
  // From Setup and Convert. Stores the format; true when any of the three changed.
  bool StoreFormat(uint32_t inputRate, uint32_t outputRate, uint32_t channels);
  void ClearFormat() { StoreFormat(0, 0, 0); }

 private:
  bool SetStreamType(bool input, uint32_t channels);
  static CMediaBuffer* Acquire(QORComPtr<CMediaBuffer>& slot, uint32_t bytes);

  uint32_t inputRate_ = 0;
  uint32_t outputRate_ = 0;
  uint32_t channels_ = 0;
  QORComPtr<IMediaObject> mediaObject_;
  // Kept at their largest size and reused for every streaming call.
  QORComPtr<CMediaBuffer> inputBuffer_;
  QORComPtr<CMediaBuffer> outputBuffer_;
};
