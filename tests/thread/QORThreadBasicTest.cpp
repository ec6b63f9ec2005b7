#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <thread>

#include "platform/IQOREvent.h"
#include "platform/QORWait.h"
#include "thread/QORThreadBasic.h"

namespace {

using Clock = std::chrono::steady_clock;

// Returns its result at once, or, when stubborn, ignores the stop event until released and then
// checks the one it was handed.
class Worker : public IQORThreadBasicWorker {
 public:
  explicit Worker(bool result, bool stubborn = false) : result_(result), stubborn_(stubborn) {}
  bool DoWork(QORThreadBasic&, IQOREvent& stopEvent) override {
    started->Set();
    if (!stubborn_) return result_;
    QORWaitForSingle(*release, 10000);
    const bool saw = QORWaitForSingle(stopEvent, 0) == kQORWaitObject0;
    sawStop = saw;
    // Last touch of this object: the test may destroy it right after.
    finished.store(true, std::memory_order_release);
    return saw;
  }

  std::unique_ptr<IQOREvent> started = QORCreateEvent(true, false);
  std::unique_ptr<IQOREvent> release = QORCreateEvent(true, false);
  std::atomic<bool> sawStop{false};
  std::atomic<bool> finished{false};

 private:
  bool result_;
  bool stubborn_;
};

TEST(QORThreadBasic, ExitCodesFollowTheWorkersResult) {
  QORThreadBasic thread;
  Worker yes(true);
  ASSERT_TRUE(thread.Start(&yes));
  thread.Stop(1000);
  EXPECT_EQ(thread.GetExitCode(), 1u);
  Worker no(false);
  ASSERT_TRUE(thread.Start(&no));
  thread.Stop(1000);
  EXPECT_EQ(thread.GetExitCode(), 0xFFFFFFFFu);
}

TEST(QORThreadBasic, WorkerIgnoringStopIsAbandonedAfterTheTimeout) {
  Worker stubborn(true, true);
  {
    QORThreadBasic thread;
    ASSERT_TRUE(thread.Start(&stubborn));
    ASSERT_EQ(QORWaitForSingle(*stubborn.started, 5000), kQORWaitObject0);
    EXPECT_FALSE(thread.Start(&stubborn));  // already running
    const auto start = Clock::now();
    thread.Stop(100);
    EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(100));
    EXPECT_LT(Clock::now() - start, std::chrono::seconds(3));
    EXPECT_FALSE(thread.IsRunning());
    EXPECT_EQ(thread.GetExitCode(), 0xFFFFFFFFu);
  }
  EXPECT_FALSE(stubborn.finished.load());
  // The thread object is gone; the abandoned thread still finds its stop event signalled.
  stubborn.release->Set();
  const auto start = Clock::now();
  while (!stubborn.finished.load(std::memory_order_acquire) &&
         Clock::now() - start < std::chrono::seconds(5)) {
    std::this_thread::yield();
  }
  EXPECT_TRUE(stubborn.finished.load(std::memory_order_acquire));
  EXPECT_TRUE(stubborn.sawStop);
}

// Waits for a gate that the test owns, ignoring the stop event.
class GateWorker : public IQORThreadBasicWorker {
 public:
  GateWorker(IQOREvent& started, IQOREvent& gate) : started_(started), gate_(gate) {}
  bool DoWork(QORThreadBasic&, IQOREvent&) override {
    started_.Set();
    return QORWaitForSingle(gate_, 10000) == kQORWaitObject0;
  }

 private:
  IQOREvent& started_;
  IQOREvent& gate_;
};

TEST(QORThreadBasic, SharedWorkerLivesUntilItsAbandonedThreadEnds) {
  auto started = QORCreateEvent(true, false);
  auto gate = QORCreateEvent(true, false);
  auto worker = std::make_shared<GateWorker>(*started, *gate);
  const std::weak_ptr<GateWorker> watched = worker;
  {
    QORThreadBasic thread;
    ASSERT_TRUE(thread.StartShared(worker));
    ASSERT_EQ(QORWaitForSingle(*started, 5000), kQORWaitObject0);
    worker.reset();
    thread.Stop(100);
  }
  EXPECT_FALSE(watched.expired());  // the abandoned thread still runs in it
  gate->Set();
  const auto start = Clock::now();
  while (!watched.expired() && Clock::now() - start < std::chrono::seconds(5)) {
    std::this_thread::yield();
  }
  EXPECT_TRUE(watched.expired());
}

}  // namespace
