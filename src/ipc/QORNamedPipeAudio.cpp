#include "ipc/QORNamedPipeAudio.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <bit>
#include <chrono>
#include <cmath>
#include <cstring>
#include <string>

#include "common/QORTrace.h"
#include "ipc/QORSpscSampleRing.h"
#include "platform/IQOREvent.h"
#include "platform/IQORPipeClient.h"
#include "platform/IQORPipeServer.h"
#include "platform/QORDenormalGuard.h"
#include "platform/QORWait.h"
#include "thread/IQORThreadBasicWorker.h"

static_assert(std::endian::native == std::endian::little, "messages are little-endian");

namespace {

constexpr uint32_t kWaitMs = 100;
constexpr uint32_t kWriteTimeoutMs = 100;
using Clock = std::chrono::steady_clock;
constexpr size_t kSamplesOffset = 8;
static_assert(kSamplesOffset + QORNamedPipeAudio::kMessageSamples * sizeof(float) ==
              QORNamedPipeAudio::kMessageSize);

uint32_t LoadU32(const unsigned char* bytes) {
  uint32_t value;
  std::memcpy(&value, bytes, sizeof(value));
  return value;
}

}  // namespace

// Everything the pipe thread touches. The thread holds it too, so a thread that did not stop in
// time never reaches freed memory.
struct QORNamedPipeAudio::State {
  bool Accept(const unsigned char* message, size_t size);
  // The writer's pipe thread, when its ring is empty: waits for the real-time side's next write
  // (or the kill event, or the time-out). The real-time side signals only while it waits here.
  uint32_t WaitForSamples(IQORWaitable* const (&objects)[2]);
  // The real-time side, after a write: wakes the pipe thread if it waits for samples.
  void WakeDrainer();

  // Between the pipe thread and the real-time thread, one writing and one reading.
  QORSpscSampleRing ring{kRingCapacity};
  std::atomic<bool> drainerWaiting{false};
  std::atomic<uint32_t> wakeSignals{0};
  std::atomic<uint32_t> rate{0};
  uint32_t role = kRoleReader;
  std::wstring name = kPipeName;
  std::unique_ptr<IQOREvent> ringWritten = QORCreateEvent(false, false);
  // The reader's instance; taken before the thread starts, used by the thread only.
  std::unique_ptr<IQORPipeServer> server;
  std::atomic<uint32_t> connected{0};
  std::atomic<uint32_t> droppedMessages{0};
  std::atomic<uint32_t> droppedSamples{0};
  std::atomic<uint32_t> sent{0};
  std::atomic<uint32_t> silentWriters{0};
};

uint32_t QORNamedPipeAudio::State::WaitForSamples(IQORWaitable* const (&objects)[2]) {
  // Every change of the flag is an exchange (no fence, no plain store), so each one continues the
  // release sequence of the writer's last: if the writer's exchange comes first, this one
  // synchronises with it and sees the samples written before it; if this one comes first, the
  // writer finds the flag set and signals.
  drainerWaiting.exchange(true, std::memory_order_acq_rel);
  const uint32_t woke = QORWaitForMultiple(objects, ring.GetAvailable() != 0 ? 0 : kWaitMs);
  drainerWaiting.exchange(false, std::memory_order_acq_rel);
  return woke;
}

void QORNamedPipeAudio::State::WakeDrainer() {
  if (drainerWaiting.exchange(false, std::memory_order_acq_rel)) {
    wakeSignals.fetch_add(1, std::memory_order_relaxed);
    ringWritten->Set();
  }
}

bool QORNamedPipeAudio::State::Accept(const unsigned char* message, size_t size) {
  if (size != kMessageSize) {
    droppedMessages.fetch_add(1);
    return false;
  }
  const uint32_t count = LoadU32(message);
  const uint32_t messageRate = LoadU32(message + 4);
  if (count > kMessageSamples || messageRate < kMinRate || messageRate > kMaxRate) {
    droppedMessages.fetch_add(1);
    return false;
  }
  uint32_t expected = 0;
  // The first message fixes the stream rate; a message of another rate is not this stream.
  if (!rate.compare_exchange_strong(expected, messageRate) && expected != messageRate) {
    droppedMessages.fetch_add(1);
    return false;
  }
  std::array<float, kMessageSamples> samples;
  std::memcpy(samples.data(), message + kSamplesOffset, count * sizeof(float));
  // Whatever the writer sent, nothing that is not a number enters a chain.
  for (uint32_t i = 0; i < count; ++i) {
    if (!std::isfinite(samples[i])) samples[i] = 0.0f;
  }
  const uint32_t written = ring.Write(samples.data(), count);
  droppedSamples.fetch_add(count - written);
  return true;
}

// The pipe thread's loop: the server routine on a reader, the client routine on a writer.
class QORNamedPipeAudio::Routine : public IQORThreadBasicWorker {
 public:
  explicit Routine(std::shared_ptr<State> state) : state_(std::move(state)) {}

  bool DoWork(QORThreadBasic&, IQOREvent& killEvent) override {
    // It checks and copies the side-chain's samples.
    QORDenormalGuard denormals;
    if (state_->role == kRoleReader) {
      ServerRoutine(killEvent);
    } else {
      ClientRoutine(killEvent);
    }
    return true;
  }

 private:
  void ServerRoutine(IQOREvent& killEvent);
  void ClientRoutine(IQOREvent& killEvent);

  std::shared_ptr<State> state_;
};

void QORNamedPipeAudio::Routine::ServerRoutine(IQOREvent& killEvent) {
  QORTrace({"QORNamedPipeAudio", __LINE__, "QORNamedPipeAudio::ServerRoutine"},
           "QORNamedPipeAudio::ServerRoutine entering 0x%p\n", static_cast<void*>(state_.get()));
  IQORPipeServer& pipe = *state_->server;
  IQORWaitable* const objects[] = {&killEvent, &pipe};
  std::array<unsigned char, kMessageSize> message{};
  Clock::time_point heard{};
  for (;;) {
    if (!pipe.IsConnected() && pipe.Connect() == QORPipeResult::kDone) {
      state_->connected.store(1);
      heard = Clock::now();
    }
    if (pipe.IsConnected()) {
      size_t size = 0;
      QORPipeResult result;
      while ((result = pipe.Read(message.data(), &size)) == QORPipeResult::kDone) {
        state_->Accept(message.data(), size);
        heard = Clock::now();
      }
      if (result == QORPipeResult::kClosed) {
        // An unfinished last message is still counted as dropped.
        if (size != 0) state_->Accept(message.data(), size);
        QORTrace({"QORNamedPipeAudio", __LINE__, "QORNamedPipeAudio::ServerRoutine"},
                 "QORNamedPipeAudio::ServerRoutine : ReadFile failed (%d), disconnecting.\n",
                 static_cast<int>(size));
        state_->connected.store(0);
        continue;  // the next writer may already be waiting
      }
      // The instance serves one writer at a time: one that sends nothing (an idle local client,
      // a stalled writer) would keep every other writer out for good. A writer dropped here
      // connects again with its next message.
      const auto silent = Clock::now() - heard;
      if (silent > std::chrono::milliseconds(kSilentWriterMs)) {
        QORTrace({"QORNamedPipeAudio", __LINE__, "QORNamedPipeAudio::ServerRoutine"},
                 "QORNamedPipeAudio::ServerRoutine : writer silent for %d ms, disconnecting.\n",
                 static_cast<int>(silent / std::chrono::milliseconds(1)));
        pipe.Disconnect();
        state_->connected.store(0);
        state_->silentWriters.fetch_add(1);
        continue;
      }
    }
    const uint32_t woke = QORWaitForMultiple(objects, kWaitMs);
    if (woke == kQORWaitObject0) {
      QORTrace({"QORNamedPipeAudio", __LINE__, "QORNamedPipeAudio::ServerRoutine"},
               "QORNamedPipeAudio::ServerRoutine : Kill event.\n");
      break;
    }
    if (woke == kQORWaitFailed) break;
  }
  pipe.Disconnect();
  state_->connected.store(0);
  QORTrace({"QORNamedPipeAudio", __LINE__, "QORNamedPipeAudio::ServerRoutine"},
           "QORNamedPipeAudio::ServerRoutine exiting 0x%p\n", static_cast<void*>(state_.get()));
}

void QORNamedPipeAudio::Routine::ClientRoutine(IQOREvent& killEvent) {
  std::array<std::unique_ptr<IQORPipeClient>, kQORPipeMaxInstances> pipes;
  std::array<unsigned char, kMessageSize> message{};
  std::array<float, kMessageSamples> samples{};
  IQORWaitable* const objects[] = {&killEvent, state_->ringWritten.get()};
  uint32_t woke = state_->WaitForSamples(objects);
  while (woke != kQORWaitObject0 && woke != kQORWaitFailed) {
    const uint32_t count = state_->ring.Read(samples.data(), kMessageSamples);
    if (count != 0) {
      const uint32_t rate = state_->rate.load();
      std::memcpy(message.data(), &count, sizeof(count));
      std::memcpy(message.data() + 4, &rate, sizeof(rate));
      std::memcpy(message.data() + kSamplesOffset, samples.data(), count * sizeof(float));
      std::fill(message.begin() + kSamplesOffset + count * sizeof(float), message.end(), 0);
      uint32_t took = 0;
      for (uint32_t i = 0; i < pipes.size(); ++i) {
        if (!pipes[i]) {
          pipes[i] = QORConnectPipe(state_->name, i, kMessageSize);
          if (pipes[i]) {
            QORTrace({"QORNamedPipeAudio", __LINE__, "QORNamedPipeAudio::ClientRoutine"},
                     "QORNamedPipeAudio::ClientRoutine : Connected!\n");
          }
        }
        if (!pipes[i]) continue;
        if (pipes[i]->Write(message.data(), kWriteTimeoutMs)) {
          ++took;
        } else {
          QORTrace({"QORNamedPipeAudio", __LINE__, "QORNamedPipeAudio::ClientRoutine"},
                   "ClientRoutine : Pipe %d write failed, closing.\n", static_cast<int>(i));
          pipes[i].reset();
        }
      }
      state_->connected.store(took);
      state_->sent.fetch_add(1);
    }
    // While the ring yields samples, go straight on (only looking at the kill event): that drains
    // it.
    woke = count != 0 ? QORWaitForMultiple(objects, 0) : state_->WaitForSamples(objects);
  }
  QORTrace({"QORNamedPipeAudio", __LINE__, "QORNamedPipeAudio::ClientRoutine"},
           "QORNamedPipeAudio::ClientRoutine : Kill event.\n");
  state_->connected.store(0);
}

QORNamedPipeAudio::QORNamedPipeAudio() : state_(std::make_shared<State>()) {}

QORNamedPipeAudio::~QORNamedPipeAudio() {
  StopThread();
}

void QORNamedPipeAudio::Init(uint32_t rate, uint32_t role) {
  QORTrace({"QORNamedPipeAudio", __LINE__, "QORNamedPipeAudio::Init"},
           "QORNamedPipeAudio::Init : entering.\n");
  role_ = role;
  state_->role = role;
  state_->rate.store(rate);
  state_->droppedMessages.store(0);
  state_->droppedSamples.store(0);
  state_->sent.store(0);
  state_->silentWriters.store(0);
  state_->wakeSignals.store(0);
  state_->ring.Reset();
}

bool QORNamedPipeAudio::StartThread() {
  if (thread_.IsRunning()) return false;
  const bool writer = role_ == kRoleWriter;
  QORTrace({"QORNamedPipeAudio", __LINE__, "QORNamedPipeAudio::StartThread"},
           writer ? "QORNamedPipeAudio::StartThread Client/Writer this = 0x%p\n"
                  : "QORNamedPipeAudio::StartThread Server/Reader this = 0x%p\n",
           static_cast<void*>(this));
  // Stop reaps a thread that ended on its own, so its instance is given back first.
  thread_.Stop(kStopTimeoutMs);
  state_->server.reset();
  if (!writer) {
    QORNamedObjectError error = QORNamedObjectError::kNone;
    state_->server = QORCreatePipeServer(state_->name, kMessageSize, &error);
    if (!state_->server) {
      QORTrace({"QORNamedPipeAudio", __LINE__, "QORNamedPipeAudio::StartThread"},
               "QORNamedPipeAudio::StartThread : no pipe instance (%d).\n",
               static_cast<int>(error));
      return false;
    }
  }
  if (!thread_.StartShared(std::make_shared<Routine>(state_))) {
    state_->server.reset();
    return false;
  }
  return true;
}

bool QORNamedPipeAudio::StopThread() {
  const bool had = thread_.IsRunning();
  thread_.Stop(kStopTimeoutMs);
  if (had && thread_.GetExitCode() == QORThreadBasic::kExitCodeAbandoned) {
    QORTrace({"QORNamedPipeAudio", __LINE__, "QORNamedPipeAudio::StopThread"},
             "QORNamedPipeAudio::StopThread : Thread manually terminated.\n");
    // The thread keeps the old state until it ends; this object goes on with a fresh one.
    auto fresh = std::make_shared<State>();
    fresh->role = state_->role;
    fresh->rate.store(state_->rate.load());
    state_ = std::move(fresh);
    return false;
  }
  state_->server.reset();
  state_->connected.store(0);
  return true;
}

uint32_t QORNamedPipeAudio::WriteRing(const float* samples, uint32_t count) {
  State& state = *state_;
  const uint32_t written = state.ring.Write(samples, count);
  if (written != count) state.droppedSamples.fetch_add(count - written);
  if (written != 0) state.WakeDrainer();
  return written;
}

uint32_t QORNamedPipeAudio::ReadRing(float* samples, uint32_t count) {
  return state_->ring.Read(samples, count);
}

bool QORNamedPipeAudio::AcceptMessage(const unsigned char* message, size_t size) {
  return state_->Accept(message, size);
}

uint32_t QORNamedPipeAudio::GetRate() const {
  return state_->rate.load();
}

uint32_t QORNamedPipeAudio::GetConnectedCount() const {
  return state_->connected.load();
}

uint32_t QORNamedPipeAudio::GetRingAvailable() const {
  return state_->ring.GetAvailable();
}

uint32_t QORNamedPipeAudio::GetSilentWriters() const {
  return state_->silentWriters.load();
}

uint32_t QORNamedPipeAudio::GetWakeSignals() const {
  return state_->wakeSignals.load();
}

uint32_t QORNamedPipeAudio::GetDroppedMessages() const {
  return state_->droppedMessages.load();
}

uint32_t QORNamedPipeAudio::GetDroppedSamples() const {
  return state_->droppedSamples.load();
}

uint32_t QORNamedPipeAudio::GetMessagesSent() const {
  return state_->sent.load();
}
