#pragma once

#include <cstdint>

#include "audio/IQORAudioData.h"
#include "ipc/QORNamedPipeAudio.h"

// Adapts periods to the capture pipe's mono stream. Until the transport exists nothing is sent and
// a read delivers nothing.
class QORNamedPipeMarshall {
 public:
  virtual ~QORNamedPipeMarshall() = default;

  void Init(uint32_t rate, bool reader);
  void Write(IQORAudioData<float>& period);
  // Fills the period's first channel from the stream; returns the frames read.
  uint32_t Read(IQORAudioData<float>& period);

  QORNamedPipeAudio& GetPipe() { return pipe_; }
  bool IsReader() const { return reader_; }
  void SetReader(bool reader) { reader_ = reader; }
  bool IsRunning() const { return running_; }
  void SetRunning(bool running) { running_ = running; }
  uint32_t GetOverrunCount() const { return overruns_; }
  void SetOverrunCount(uint32_t count) { overruns_ = count; }

 private:
  bool reader_ = false;
  bool running_ = false;
  QORNamedPipeAudio pipe_;
  uint32_t overruns_ = 0;
};
