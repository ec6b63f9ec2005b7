#include "thread/QORThreadBasic.h"

#include <atomic>
#include <system_error>

#include "common/QORTrace.h"
#include "platform/IQOREvent.h"
#include "platform/QORWait.h"

// Everything the thread touches besides the worker and the thread object it is handed. It is kept
// alive by the thread itself, so an abandoned thread never reaches freed memory through it.
struct QORThreadBasic::Shared {
  std::unique_ptr<IQOREvent> stopEvent = QORCreateEvent(true, false);
  std::unique_ptr<IQOREvent> endEvent = QORCreateEvent(true, false);
  std::atomic<uint32_t> exitCode{kExitCodeStillActive};
};

QORThreadBasic::QORThreadBasic() : shared_(std::make_shared<Shared>()) {}

QORThreadBasic::~QORThreadBasic() {
  Stop(kDefaultStopTimeoutMs);
}

bool QORThreadBasic::StartShared(std::shared_ptr<IQORThreadBasicWorker> worker) {
  if (!worker) return false;
  IQORThreadBasicWorker* raw = worker.get();
  ownedWorker_ = std::move(worker);
  return Start(raw);
}

bool QORThreadBasic::Start(IQORThreadBasicWorker* worker) {
  if (worker != nullptr) {
    if (worker != ownedWorker_.get()) ownedWorker_.reset();
    worker_ = worker;
  }
  if (thread_.joinable()) {
    // A thread whose DoWork has already returned is reaped; a live one is never lost.
    if (QORWaitForSingle(*shared_->endEvent, 0) != kQORWaitObject0) {
      QORTrace({"QORThreadBasic", __LINE__, "QORThreadBasic::Start"},
               "a thread is still running; Stop it first\n");
      return false;
    }
    thread_.join();
  }
  if (worker_ == nullptr || !shared_->stopEvent || !shared_->endEvent) return false;
  shared_->stopEvent->Reset();
  shared_->endEvent->Reset();
  shared_->exitCode.store(kExitCodeStillActive);
  try {
    thread_ = std::thread([shared = shared_, worker = worker_, owned = ownedWorker_, self = this] {
      const bool result = worker->DoWork(*self, *shared->stopEvent);
      shared->exitCode.store(result ? kExitCodeTrue : kExitCodeFalse);
      shared->endEvent->Set();
      (void)owned;  // a shared worker is held until the thread ends
    });
  } catch (const std::system_error& error) {
    QORTrace({"QORThreadBasic", __LINE__, "QORThreadBasic::Start"}, "thread creation failed: %s\n",
             error.what());
    return false;
  }
  return true;
}

void QORThreadBasic::Stop(uint32_t timeoutMs) {
  if (!thread_.joinable()) return;
  if (timeoutMs == 0) timeoutMs = kDefaultStopTimeoutMs;
  shared_->stopEvent->Set();
  if (QORWaitForSingle(*shared_->endEvent, timeoutMs) == kQORWaitObject0) {
    thread_.join();
    lastExitCode_ = shared_->exitCode.load();
  } else {
    QORTrace({"QORThreadBasic", __LINE__, "QORThreadBasic::Stop"},
             "thread did not stop within %u ms; abandoning it\n", timeoutMs);
    thread_.detach();
    lastExitCode_ = kExitCodeAbandoned;
    // The abandoned thread keeps the old shared state; the next Start gets a fresh stop event.
    shared_ = std::make_shared<Shared>();
  }
  worker_ = nullptr;
  ownedWorker_.reset();
}

bool QORThreadBasic::IsRunning() const {
  return thread_.joinable() && QORWaitForSingle(*shared_->endEvent, 0) != kQORWaitObject0;
}

uint32_t QORThreadBasic::GetExitCode() const {
  if (thread_.joinable()) return shared_->exitCode.load();
  return lastExitCode_;
}
