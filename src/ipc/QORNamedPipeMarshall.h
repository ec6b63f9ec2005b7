#pragma once

#include <cstdint>
#include <vector>

#include "audio/IQORAudioData.h"
#include "audio/QORAudioDataFloat.h"
#include "audio/QORAudioSampleFifo.h"
#include "audio/QORResampleHandler.h"
#include "ipc/QORNamedPipeAudio.h"

// Adapts periods to the capture pipe's mono stream: the writer folds a period to mono and converts
// it to the stream rate; the reader converts the stream to the period's rate through a FIFO that
// re-times it, and fills the period's first channel (role 7, the side chain). Write and Read run
// on the real-time thread; their buffers are sized when the pipe is set running (most objects never
// carry a side chain, and a buffer nobody fills costs its pages), so periods of up to
// kMaxPeriodFrames allocate nothing once the stream's converter is set up.
class QORNamedPipeMarshall {
 public:
  static constexpr uint32_t kMaxPeriodFrames = 4096;
  // Samples the reader reads beyond a period's need, and the silence its FIFO starts with.
  static constexpr uint32_t kLeadSamples = 5;

  QORNamedPipeMarshall() = default;
  virtual ~QORNamedPipeMarshall() = default;

  void Init(uint32_t rate, bool reader);
  // Writer: sends the period's fold; the period itself is left as it was.
  void Write(IQORAudioData<float>& period);
  // Reader: fills the period's channel 0 from the stream, with silence where the stream has
  // nothing. Returns the samples read (same rate) or the FIFO's fill before the period was taken
  // from it (converted); 0 while no stream rate is known.
  uint32_t Read(IQORAudioData<float>& period);

  QORNamedPipeAudio& GetPipe() { return pipe_; }
  bool IsReader() const { return reader_; }
  void SetReader(bool reader) { reader_ = reader; }
  bool IsRunning() const { return running_; }
  void SetRunning(bool running);
  // Reads that found less than a period of stream.
  uint32_t GetOverrunCount() const { return overruns_; }
  void SetOverrunCount(uint32_t count) { overruns_ = count; }
  // Converted samples dropped because the FIFO ran more than a period ahead.
  uint32_t GetFifoDropCount() const { return fifoDrops_; }

 private:
  void Reserve(uint32_t frames);
  // Readies the converter's buffers when the pair of rates changes (the converter itself is set
  // up then too, by its first conversion).
  void PrepareConverter(uint32_t inputRate, uint32_t outputRate, uint32_t inputFrames);
  void ReadConverted(float* channel, uint32_t frames, uint32_t periodRate, uint32_t streamRate,
                     uint32_t* result);

  bool reader_ = false;
  bool running_ = false;
  QORResampleHandler resampler_;
  QORAudioSampleFifo fifo_;
  QORNamedPipeAudio pipe_;
  uint32_t overruns_ = 0;
  uint32_t fifoDrops_ = 0;
  uint32_t reservedFrames_ = 0;
  uint32_t converterInput_ = 0;
  uint32_t converterOutput_ = 0;
  std::vector<float> mono_;
  QORAudioDataFloat streamBlock_;
  QORAudioDataFloat periodBlock_;
};
