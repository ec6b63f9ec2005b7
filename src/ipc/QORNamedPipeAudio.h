#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "thread/QORThreadBasic.h"

// The capture pipe: a writer instance sends a mono stream to up to five reader instances in
// 1928-byte messages (count u32, rate u32, 480 float samples, little-endian). Each side keeps a
// lock-free sample ring between its pipe thread and the real-time thread, one writing and the
// other reading; the real-time side only copies in or out of it, and wakes the writer's pipe
// thread (a system call) only when that thread waits for samples.
class QORNamedPipeAudio {
 public:
  static constexpr uint32_t kRoleReader = 0;
  static constexpr uint32_t kRoleWriter = 1;
  static constexpr uint32_t kMessageSize = 1928;
  static constexpr uint32_t kMessageSamples = 480;
  static constexpr uint32_t kRingCapacity = 3840;
  static constexpr uint32_t kStopTimeoutMs = 500;
  // A reader drops a writer that sent no whole message for this long, so that an idle client
  // cannot hold the instance from the real writer.
  static constexpr uint32_t kSilentWriterMs = 500;
  // Stream rates a message may declare; anything else is not audio this host can convert.
  static constexpr uint32_t kMinRate = 1000;
  static constexpr uint32_t kMaxRate = 384000;
  static constexpr const wchar_t* kPipeName = L"\\\\.\\pipe\\QORAPOCapturePipe";

  QORNamedPipeAudio();
  virtual ~QORNamedPipeAudio();
  QORNamedPipeAudio(const QORNamedPipeAudio&) = delete;
  QORNamedPipeAudio& operator=(const QORNamedPipeAudio&) = delete;

  // Stores the stream rate (0 on a reader: taken from the first message) and the role, and empties
  // the ring. Not while the thread runs.
  void Init(uint32_t rate, uint32_t role);
  // A reader first takes a pipe instance: false when none is free (no thread then). True when the
  // thread runs; false also when one was running already.
  bool StartThread();
  // Stops the thread within kStopTimeoutMs. A thread that does not end in time is left to finish
  // on its own with the state it uses; false then (its pipe instance is still open).
  bool StopThread();

  // Real-time side: copy into (writer) or out of (reader) the ring; the number of samples moved.
  // Never waits, never allocates. Samples that find the ring full are dropped and counted.
  uint32_t WriteRing(const float* samples, uint32_t count);
  uint32_t ReadRing(float* samples, uint32_t count);

  // Reader, on its pipe thread (or any thread while no thread runs): takes one message as it came
  // off the pipe (size bytes). A short message, a count
  // above 480, a rate outside [kMinRate, kMaxRate] or a rate other than the adopted one drops the
  // message; true when its samples went to the ring (as many as fitted).
  bool AcceptMessage(const unsigned char* message, size_t size);

  uint32_t GetRate() const;
  uint32_t GetRole() const { return role_; }
  // Writer: how many readers took the last message. Reader: 1 while a writer is connected.
  uint32_t GetConnectedCount() const;
  uint32_t GetRingAvailable() const;
  uint32_t GetDroppedMessages() const;
  // Samples that found the ring full.
  uint32_t GetDroppedSamples() const;
  uint32_t GetMessagesSent() const;
  // Reader: writers dropped for sending nothing within kSilentWriterMs.
  uint32_t GetSilentWriters() const;
  // Writer: how often WriteRing woke the pipe thread.
  uint32_t GetWakeSignals() const;
  bool IsThreadRunning() const { return thread_.IsRunning(); }

 private:
  struct State;
  class Routine;

  std::shared_ptr<State> state_;
  uint32_t role_ = kRoleReader;
  QORThreadBasic thread_;
};
