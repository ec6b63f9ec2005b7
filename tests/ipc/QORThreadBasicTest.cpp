#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>

#include "ipc/QORThreadBasic.h"
#include "platform/IQOREvent.h"
#include "platform/QORWait.h"

namespace {

using Clock = std::chrono::steady_clock;

long ElapsedMs(Clock::time_point start) {
  return static_cast<long>(
      std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count());
}

bool WaitUntil(const std::function<bool()>& done) {
  const auto start = Clock::now();
  while (!done()) {
    if (ElapsedMs(start) > 5000) return false;
    std::this_thread::yield();
  }
  return true;
}

// kReturn returns its result at once; kStoppable waits for the stop event, then lingers;
// kStubborn ignores the stop event until released, then checks the one it was handed.
class Worker : public IQORThreadBasicWorker {
 public:
  enum Mode { kReturn, kStoppable, kStubborn };
  explicit Worker(Mode mode, bool result = true, uint32_t lingerMs = 0)
      : mode_(mode), result_(result), lingerMs_(lingerMs) {}
  bool DoWork(QORThreadBasic& thread, IQOREvent& stopEvent) override {
    seenThread = &thread;
    ++runs;
    started->Set();
    if (mode_ == kReturn) return result_;
    if (mode_ == kStubborn) QORWaitForSingle(*release, 10000);
    sawStop = QORWaitForSingle(stopEvent, mode_ == kStubborn ? 0 : 10000) == kQORWaitObject0;
    if (lingerMs_ > 0) QORWaitForSingle(*release, lingerMs_);
    // Last touch of this object: the test may destroy it right after.
    finished.store(true, std::memory_order_release);
    return sawStop;
  }
  bool WaitStarted() { return QORWaitForSingle(*started, 5000) == kQORWaitObject0; }

  std::unique_ptr<IQOREvent> started = QORCreateEvent(true, false);
  std::unique_ptr<IQOREvent> release = QORCreateEvent(true, false);
  std::atomic<QORThreadBasic*> seenThread{nullptr};
  std::atomic<int> runs{0};
  std::atomic<bool> sawStop{false};
  std::atomic<bool> finished{false};

 private:
  Mode mode_;
  bool result_;
  uint32_t lingerMs_;
};

TEST(QORThreadBasic, ExitCodesAndWorkerReuse) {
  QORThreadBasic thread;
  EXPECT_FALSE(thread.Start(nullptr));

  Worker yes(Worker::kReturn, true);
  ASSERT_TRUE(thread.Start(&yes));
  ASSERT_TRUE(WaitUntil([&] { return !thread.IsRunning(); }));
  EXPECT_EQ(thread.GetExitCode(), 1u);
  EXPECT_EQ(yes.seenThread.load(), &thread);
  // A null worker reruns the stored one once the last run has ended.
  ASSERT_TRUE(thread.Start(nullptr));
  ASSERT_TRUE(WaitUntil([&] { return !thread.IsRunning(); }));
  thread.Stop(1000);
  EXPECT_EQ(yes.runs.load(), 2);
  EXPECT_EQ(thread.GetExitCode(), 1u);
  // Stop forgets the worker.
  EXPECT_FALSE(thread.Start(nullptr));

  Worker no(Worker::kReturn, false);
  ASSERT_TRUE(thread.Start(&no));
  thread.Stop(1000);
  EXPECT_EQ(thread.GetExitCode(), 0xFFFFFFFFu);
}

TEST(QORThreadBasic, StopSignalsAndZeroTimeoutMeansTheLongDefault) {
  // The worker needs 300 ms after the stop event; Stop(0) must wait for it, not abandon it.
  Worker worker(Worker::kStoppable, true, 300);
  QORThreadBasic thread;
  ASSERT_TRUE(thread.Start(&worker));
  ASSERT_TRUE(worker.WaitStarted());
  EXPECT_EQ(thread.GetExitCode(), QORThreadBasic::kExitCodeStillActive);
  const auto start = Clock::now();
  thread.Stop(0);
  EXPECT_GE(ElapsedMs(start), 300);
  EXPECT_TRUE(worker.sawStop);
  EXPECT_EQ(thread.GetExitCode(), 1u);
}

TEST(QORThreadBasic, WorkerIgnoringStopIsAbandonedAfterTheTimeout) {
  Worker stubborn(Worker::kStubborn);
  Worker next(Worker::kStoppable);
  {
    QORThreadBasic thread;
    ASSERT_TRUE(thread.Start(&stubborn));
    ASSERT_TRUE(stubborn.WaitStarted());
    const auto start = Clock::now();
    thread.Stop(100);
    EXPECT_GE(ElapsedMs(start), 100);
    EXPECT_LT(ElapsedMs(start), 3000);
    EXPECT_FALSE(thread.IsRunning());
    EXPECT_EQ(thread.GetExitCode(), 0xFFFFFFFFu);
    // A new thread starts at once, with a stop event of its own; the destructor stops it.
    ASSERT_TRUE(thread.Start(&next));
    ASSERT_TRUE(next.WaitStarted());
  }
  EXPECT_TRUE(next.sawStop);
  EXPECT_FALSE(stubborn.finished.load());
  // The thread object is gone; the abandoned thread still finds its stop event signalled.
  stubborn.release->Set();
  ASSERT_TRUE(WaitUntil([&] { return stubborn.finished.load(std::memory_order_acquire); }));
  EXPECT_TRUE(stubborn.sawStop);
}

}  // namespace
