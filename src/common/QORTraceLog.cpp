#include "common/QORTraceLog.h"

#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

// A trace file is never inherited by a child process, and (where links exist) never opened
// through one.
#ifdef _WIN32
constexpr int kTraceFileFlags = O_WRONLY | O_APPEND | O_CREAT | O_NOINHERIT | O_BINARY;
#else
constexpr int kTraceFileFlags = O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOFOLLOW;
#endif

void WriteAll(int fd, std::string_view text) {
  while (!text.empty()) {
    const ssize_t written = ::write(fd, text.data(), text.size());
    if (written <= 0) return;
    text.remove_prefix(static_cast<size_t>(written));
  }
}

// Writes each line to a file descriptor, adding a line feed where the message has none.
class QORTraceFdSink : public IQORTraceSink {
 public:
  QORTraceFdSink(int fd, bool owned) : fd_(fd), owned_(owned) {}
  ~QORTraceFdSink() override {
    if (owned_) ::close(fd_);
  }
  void Write(std::string_view line) override {
    WriteAll(fd_, line);
    if (line.empty() || line.back() != '\n') WriteAll(fd_, "\n");
  }

 private:
  int fd_;
  bool owned_;
};

std::unique_ptr<IQORTraceSink> MakeDefaultSink() {
  const char* destination = std::getenv("QOR_TRACE");
  if (destination == nullptr || *destination == '\0' || std::strcmp(destination, "off") == 0) {
    return nullptr;
  }
  if (std::strcmp(destination, "stderr") == 0) {
    return std::make_unique<QORTraceFdSink>(STDERR_FILENO, false);
  }
  const int fd = ::open(destination, kTraceFileFlags, 0640);
  if (fd < 0) {
    std::fprintf(stderr, "qorapo: cannot open trace file %s (%s); tracing to stderr\n", destination,
                 std::strerror(errno));
    return std::make_unique<QORTraceFdSink>(STDERR_FILENO, false);
  }
  return std::make_unique<QORTraceFdSink>(fd, true);
}

}  // namespace

QORTraceLog& QORTraceLog::Instance() {
  // Never destroyed: threads may still trace while static objects are torn down at exit.
  static QORTraceLog* instance = [] {
    auto* log = new QORTraceLog();
    std::atexit([] { Instance().Flush(); });
    return log;
  }();
  return *instance;
}

QORTraceLog::QORTraceLog() {
  defaultSink_ = MakeDefaultSink();
  std::lock_guard<std::mutex> guard(sinkLock_);
  sink_ = defaultSink_.get();
  if (sink_ != nullptr) StartLocked();
  enabled_.store(sink_ != nullptr, std::memory_order_release);
}

void QORTraceLog::StartLocked() {
  // Tracing is off in most runs: the queue's pages and the logger thread cost a short run more
  // than its own work, so they come with the first destination.
  if (thread_.joinable()) return;
  slots_.reset(new Slot[kSlots]);
  for (size_t i = 0; i < kSlots; ++i) slots_[i].sequence.store(i, std::memory_order_relaxed);
  thread_ = std::thread([this] { Run(); });
}

QORTraceLog::~QORTraceLog() {
  stopping_.store(true);
  posted_.fetch_add(1);
  posted_.notify_one();
  if (thread_.joinable()) thread_.join();
}

void QORTraceLog::Post(std::string_view line) {
  // Acquire: whoever sees the log enabled sees its queue.
  if (!enabled_.load(std::memory_order_acquire)) return;
  size_t pos = enqueuePos_.load(std::memory_order_relaxed);
  Slot* slot = nullptr;
  for (;;) {
    slot = &slots_[pos % kSlots];
    const size_t sequence = slot->sequence.load(std::memory_order_acquire);
    const auto diff = static_cast<intptr_t>(sequence) - static_cast<intptr_t>(pos);
    if (diff == 0) {
      if (enqueuePos_.compare_exchange_weak(pos, pos + 1, std::memory_order_relaxed)) break;
    } else if (diff < 0) {
      dropped_.fetch_add(1, std::memory_order_relaxed);
      return;
    } else {
      pos = enqueuePos_.load(std::memory_order_relaxed);
    }
  }
  const size_t length = std::min(line.size(), slot->text.size());
  std::memcpy(slot->text.data(), line.data(), length);
  slot->length = length;
  slot->sequence.store(pos + 1, std::memory_order_release);
  accepted_.fetch_add(1, std::memory_order_release);
  posted_.fetch_add(1, std::memory_order_release);
  posted_.notify_one();
}

bool QORTraceLog::PopOne() {
  Slot& slot = slots_[dequeuePos_ % kSlots];
  const size_t sequence = slot.sequence.load(std::memory_order_acquire);
  if (sequence != dequeuePos_ + 1) return false;
  {
    std::lock_guard<std::mutex> guard(sinkLock_);
    if (sink_ != nullptr) sink_->Write(std::string_view(slot.text.data(), slot.length));
    ++handled_;
  }
  slot.sequence.store(dequeuePos_ + kSlots, std::memory_order_release);
  ++dequeuePos_;
  drained_.notify_all();
  return true;
}

void QORTraceLog::Run() {
  for (;;) {
    const uint32_t seen = posted_.load(std::memory_order_acquire);
    while (PopOne()) {
    }
    if (stopping_.load()) return;
    posted_.wait(seen, std::memory_order_acquire);
  }
}

void QORTraceLog::SetSink(IQORTraceSink* sink) {
  Flush();
  std::lock_guard<std::mutex> guard(sinkLock_);
  sink_ = sink != nullptr ? sink : defaultSink_.get();
  if (sink_ != nullptr) StartLocked();
  enabled_.store(sink_ != nullptr, std::memory_order_release);
}

void QORTraceLog::Flush() {
  const uint64_t target = accepted_.load(std::memory_order_acquire);
  std::unique_lock<std::mutex> guard(sinkLock_);
  // Bounded: a logger thread that cannot run (e.g. at exit) must not hang the caller. The logger
  // is woken again every 50 ms meanwhile: under MinGW's runtime, which emulates atomic waits,
  // lines were seen waiting for seconds.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
  while (handled_ < target && std::chrono::steady_clock::now() < deadline) {
    posted_.fetch_add(1, std::memory_order_release);
    posted_.notify_one();
    drained_.wait_for(guard, std::chrono::milliseconds(50), [&] { return handled_ >= target; });
  }
}
