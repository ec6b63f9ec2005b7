#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
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

// Waits until the thread's DoWork has returned, at most five seconds.
bool WaitUntilIdle(const QORThreadBasic& thread) {
  const auto start = Clock::now();
  while (thread.IsRunning()) {
    if (ElapsedMs(start) > 5000) return false;
    std::this_thread::yield();
  }
  return true;
}

// Returns a fixed result at once.
class ReturningWorker : public IQORThreadBasicWorker {
 public:
  explicit ReturningWorker(bool result) : result_(result) {}
  bool DoWork(QORThreadBasic& thread, IQOREvent&) override {
    seenThread = &thread;
    ++runs;
    return result_;
  }
  std::atomic<QORThreadBasic*> seenThread{nullptr};
  std::atomic<int> runs{0};

 private:
  bool result_;
};

// Waits for the stop event, optionally lingering a while after it.
class StoppableWorker : public IQORThreadBasicWorker {
 public:
  explicit StoppableWorker(uint32_t lingerMs = 0) : lingerMs_(lingerMs) {}
  bool DoWork(QORThreadBasic&, IQOREvent& stopEvent) override {
    started->Set();
    const bool stopped = QORWaitForSingle(stopEvent, 10000) == kQORWaitObject0;
    if (lingerMs_ > 0) QORWaitForSingle(*never, lingerMs_);
    sawStop = stopped;
    return stopped;
  }
  std::unique_ptr<IQOREvent> started = QORCreateEvent(true, false);
  std::unique_ptr<IQOREvent> never = QORCreateEvent(true, false);
  std::atomic<bool> sawStop{false};

 private:
  uint32_t lingerMs_;
};

// Ignores the stop event until the test lets it go; then checks the stop event it was given,
// which must still be alive although its QORThreadBasic may be gone.
class StubbornWorker : public IQORThreadBasicWorker {
 public:
  bool DoWork(QORThreadBasic&, IQOREvent& stopEvent) override {
    started->Set();
    QORWaitForSingle(*release, 10000);
    stopWasSignalled = QORWaitForSingle(stopEvent, 0) == kQORWaitObject0;
    // Last touch of this object: the test may destroy it right after.
    finished.store(true, std::memory_order_release);
    return true;
  }
  bool WaitFinished() {
    const auto start = Clock::now();
    while (!finished.load(std::memory_order_acquire)) {
      if (ElapsedMs(start) > 5000) return false;
      std::this_thread::yield();
    }
    return true;
  }
  std::unique_ptr<IQOREvent> started = QORCreateEvent(true, false);
  std::unique_ptr<IQOREvent> release = QORCreateEvent(true, false);
  std::atomic<bool> finished{false};
  std::atomic<bool> stopWasSignalled{false};
};

TEST(QORThreadBasic, StopOnIdleDoesNothing) {
  QORThreadBasic thread;
  thread.Stop(100);
  thread.Stop(0);
  EXPECT_FALSE(thread.IsRunning());
  EXPECT_EQ(thread.GetExitCode(), 0u);
}

TEST(QORThreadBasic, ExitCodeReflectsTheWorkerResult) {
  ReturningWorker yes(true);
  ReturningWorker no(false);
  QORThreadBasic thread;
  ASSERT_TRUE(thread.Start(&yes));
  ASSERT_TRUE(WaitUntilIdle(thread));
  EXPECT_EQ(thread.GetExitCode(), 1u);
  EXPECT_EQ(yes.seenThread.load(), &thread);
  thread.Stop(1000);
  EXPECT_EQ(thread.GetExitCode(), 1u);

  ASSERT_TRUE(thread.Start(&no));
  ASSERT_TRUE(WaitUntilIdle(thread));
  thread.Stop(1000);
  EXPECT_EQ(thread.GetExitCode(), 0xFFFFFFFFu);
}

TEST(QORThreadBasic, StopSignalsTheWorkerAndJoins) {
  StoppableWorker worker;
  QORThreadBasic thread;
  ASSERT_TRUE(thread.Start(&worker));
  ASSERT_EQ(QORWaitForSingle(*worker.started, 5000), kQORWaitObject0);
  EXPECT_TRUE(thread.IsRunning());
  EXPECT_EQ(thread.GetExitCode(), QORThreadBasic::kExitCodeStillActive);
  thread.Stop(5000);
  EXPECT_TRUE(worker.sawStop);
  EXPECT_FALSE(thread.IsRunning());
  EXPECT_EQ(thread.GetExitCode(), 1u);
}

TEST(QORThreadBasic, ZeroTimeoutMeansTheLongDefaultNotNoWait) {
  // The worker needs 300 ms after the stop event; with a zero (= 5000 ms) time-out it still ends
  // normally instead of being abandoned.
  StoppableWorker worker(300);
  QORThreadBasic thread;
  ASSERT_TRUE(thread.Start(&worker));
  ASSERT_EQ(QORWaitForSingle(*worker.started, 5000), kQORWaitObject0);
  const auto start = Clock::now();
  thread.Stop(0);
  EXPECT_GE(ElapsedMs(start), 300);
  EXPECT_EQ(thread.GetExitCode(), 1u);
  EXPECT_TRUE(worker.sawStop);
}

TEST(QORThreadBasic, WorkerIgnoringStopIsAbandonedAfterTheTimeout) {
  StubbornWorker worker;
  {
    QORThreadBasic thread;
    ASSERT_TRUE(thread.Start(&worker));
    ASSERT_EQ(QORWaitForSingle(*worker.started, 5000), kQORWaitObject0);
    const auto start = Clock::now();
    thread.Stop(100);
    const long elapsed = ElapsedMs(start);
    EXPECT_GE(elapsed, 100);
    EXPECT_LT(elapsed, 3000);
    EXPECT_FALSE(thread.IsRunning());
    EXPECT_EQ(thread.GetExitCode(), 0xFFFFFFFFu);
    // The object can start a new thread at once, with a stop event of its own.
    StoppableWorker next;
    ASSERT_TRUE(thread.Start(&next));
    ASSERT_EQ(QORWaitForSingle(*next.started, 5000), kQORWaitObject0);
    EXPECT_FALSE(worker.finished.load());
    thread.Stop(5000);
    EXPECT_TRUE(next.sawStop);
  }
  // The thread object is gone; the abandoned thread still finds its stop event signalled.
  worker.release->Set();
  ASSERT_TRUE(worker.WaitFinished());
  EXPECT_TRUE(worker.stopWasSignalled);
}

TEST(QORThreadBasic, StartRefusesASecondThreadAndANullWorker) {
  QORThreadBasic thread;
  EXPECT_FALSE(thread.Start(nullptr));
  StoppableWorker worker;
  ASSERT_TRUE(thread.Start(&worker));
  ASSERT_EQ(QORWaitForSingle(*worker.started, 5000), kQORWaitObject0);
  EXPECT_FALSE(thread.Start(&worker));
  thread.Stop(5000);
  // Stop forgets the worker, so a null Start has nothing to run.
  EXPECT_FALSE(thread.Start(nullptr));
}

TEST(QORThreadBasic, NullWorkerReusesTheStoredOneAfterItEnded) {
  ReturningWorker worker(true);
  QORThreadBasic thread;
  ASSERT_TRUE(thread.Start(&worker));
  ASSERT_TRUE(WaitUntilIdle(thread));
  ASSERT_TRUE(thread.Start(nullptr));
  ASSERT_TRUE(WaitUntilIdle(thread));
  thread.Stop(1000);
  EXPECT_EQ(worker.runs.load(), 2);
}

TEST(QORThreadBasic, DestructorStopsTheThread) {
  StoppableWorker worker;
  {
    QORThreadBasic thread;
    ASSERT_TRUE(thread.Start(&worker));
    ASSERT_EQ(QORWaitForSingle(*worker.started, 5000), kQORWaitObject0);
  }
  EXPECT_TRUE(worker.sawStop);
}

}  // namespace
