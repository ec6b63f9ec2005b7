#pragma once

#include <array>
#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string_view>
#include <thread>

#include "common/IQORTraceSink.h"
#include "common/QORTrace.h"

// Bounded multi-producer queue of trace lines drained by one logger thread. Post never blocks and
// never allocates: when the queue is full the line is dropped and counted. The destination comes
// from QOR_TRACE: "stderr", "off" (the default) or a file path; a test can install its own sink.
// The queue and the thread come with the first destination.
class QORTraceLog {
 public:
  static QORTraceLog& Instance();

  QORTraceLog(const QORTraceLog&) = delete;
  QORTraceLog& operator=(const QORTraceLog&) = delete;
  ~QORTraceLog();

  void Post(std::string_view line);

  // Replaces the destination; null restores the one QOR_TRACE chose. Not owned.
  void SetSink(IQORTraceSink* sink);
  // Returns once every line posted before the call has reached the sink.
  void Flush();
  uint64_t GetDroppedCount() const { return dropped_.load(std::memory_order_relaxed); }
  bool IsEnabled() const { return enabled_.load(std::memory_order_relaxed); }

 private:
  static constexpr size_t kSlots = 128;
  struct Slot {
    std::atomic<size_t> sequence{0};
    size_t length = 0;
    // Read only up to length, which Post writes with it: left unset, so the 2 MiB of slots are not
    // written (and paged in) at start-up.
    std::array<char, kQORTraceLineChars> text;
  };

  QORTraceLog();
  // With sinkLock_ held: makes the queue and starts the logger thread, once.
  void StartLocked();
  void Run();
  bool PopOne();

  std::unique_ptr<Slot[]> slots_;
  std::atomic<size_t> enqueuePos_{0};
  size_t dequeuePos_ = 0;            // logger thread only
  std::atomic<uint32_t> posted_{0};  // wake-up counter for the logger thread
  std::atomic<uint64_t> accepted_{0};
  std::atomic<uint64_t> dropped_{0};
  std::atomic<bool> enabled_{false};
  std::atomic<bool> stopping_{false};

  std::mutex sinkLock_;
  std::condition_variable drained_;
  uint64_t handled_ = 0;  // lines popped, guarded by sinkLock_
  std::unique_ptr<IQORTraceSink> defaultSink_;
  IQORTraceSink* sink_ = nullptr;
  std::thread thread_;
};
