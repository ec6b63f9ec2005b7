#include "thread/QORThreadBasic.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <thread>

#include "platform/IQOREvent.h"
#include "platform/QORWait.h"

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

template <typename Condition>
bool Within(std::chrono::seconds limit, Condition condition) {
  const auto start = Clock::now();
  while (!condition() && Clock::now() - start < limit) std::this_thread::yield();
  return condition();
}

TEST(QORThreadBasic, ExitCodesFollowTheWorkerAndAStubbornWorkerIsAbandonedAfterTheTimeout) {
  Worker stubborn(true, true);
  {
    QORThreadBasic thread;
    Worker yes(true);
    ASSERT_TRUE(thread.Start(&yes));
    thread.Stop(1000);
    EXPECT_EQ(thread.GetExitCode(), 1u);
    Worker no(false);
    ASSERT_TRUE(thread.Start(&no));
    thread.Stop(1000);
    EXPECT_EQ(thread.GetExitCode(), 0xFFFFFFFFu);

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
  EXPECT_TRUE(Within(std::chrono::seconds(5),
                     [&] { return stubborn.finished.load(std::memory_order_acquire); }));
  EXPECT_TRUE(stubborn.sawStop);
}

TEST(QORThreadBasic, SharedWorkerLivesUntilItsAbandonedThreadEnds) {
  auto worker = std::make_shared<Worker>(true, true);
  Worker* const running = worker.get();
  const std::weak_ptr<Worker> watched = worker;
  {
    QORThreadBasic thread;
    ASSERT_TRUE(thread.StartShared(worker));
    ASSERT_EQ(QORWaitForSingle(*worker->started, 5000), kQORWaitObject0);
    worker.reset();
    thread.Stop(100);
  }
  ASSERT_FALSE(watched.expired());  // the abandoned thread still runs in it
  running->release->Set();
  EXPECT_TRUE(Within(std::chrono::seconds(5), [&] { return watched.expired(); }));
}

}  // namespace
