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
// tells whether the one it was handed is set.
class Worker : public IQORThreadBasicWorker {
 public:
  explicit Worker(bool result, std::atomic<bool>* sawStop = nullptr)
      : result_(result), sawStop_(sawStop) {}
  bool DoWork(QORThreadBasic&, IQOREvent& stopEvent) override {
    started->Set();
    if (sawStop_ == nullptr) return result_;
    QORWaitForSingle(*release, 10000);
    return *sawStop_ = QORWaitForSingle(stopEvent, 0) == kQORWaitObject0;
  }

  std::unique_ptr<IQOREvent> started = QORCreateEvent(true, false);
  std::unique_ptr<IQOREvent> release = QORCreateEvent(true, false);

 private:
  bool result_;
  std::atomic<bool>* sawStop_;
};

// A shared worker that ignores the stop event is abandoned after the time-out, and lives on with
// its thread: the owner may drop it and the thread object at once.
TEST(QORThreadBasic, AnAbandonedThreadKeepsItsSharedWorkerAndFindsItsStopEventSet) {
  std::atomic<bool> sawStop{false};
  auto stubborn = std::make_shared<Worker>(true, &sawStop);
  Worker* const running = stubborn.get();
  const std::weak_ptr<Worker> watched = stubborn;
  {
    QORThreadBasic owner;
    Worker yes(true);
    ASSERT_TRUE(owner.Start(&yes));
    owner.Stop(1000);
    EXPECT_EQ(owner.GetExitCode(), 1u);
    ASSERT_TRUE(owner.StartShared(stubborn));
    ASSERT_EQ(QORWaitForSingle(*stubborn->started, 5000), kQORWaitObject0);
    EXPECT_FALSE(owner.Start(stubborn.get()));  // already running
    stubborn.reset();
    const auto start = Clock::now();
    owner.Stop(100);
    EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(100));
    EXPECT_LT(Clock::now() - start, std::chrono::seconds(3));
    EXPECT_FALSE(owner.IsRunning());
    EXPECT_EQ(owner.GetExitCode(), 0xFFFFFFFFu);
  }
  ASSERT_FALSE(watched.expired());  // the abandoned thread still runs in it
  // The thread object is gone; the abandoned thread still finds its stop event signalled.
  running->release->Set();
  const auto start = Clock::now();
  while (!watched.expired() && Clock::now() - start < std::chrono::seconds(5)) {
    std::this_thread::yield();
  }
  EXPECT_TRUE(watched.expired());
  EXPECT_TRUE(sawStop);
}

}  // namespace
