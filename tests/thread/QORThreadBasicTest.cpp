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

// What a stubborn worker waits for and what it saw, owned by the test: it outlives the worker.
struct Gate {
  std::unique_ptr<IQOREvent> release = QORCreateEvent(true, false);
  std::atomic<bool> sawStop{false};
};

// Returns its result at once, or, when given a gate, ignores the stop event until the gate is
// released and then tells whether the one it was handed is set.
class Worker : public IQORThreadBasicWorker {
 public:
  explicit Worker(bool result, Gate* gate = nullptr) : result_(result), gate_(gate) {}
  bool DoWork(QORThreadBasic&, IQOREvent& stopEvent) override {
    started->Set();
    if (gate_ == nullptr) return result_;
    QORWaitForSingle(*gate_->release, 10000);
    return gate_->sawStop = QORWaitForSingle(stopEvent, 0) == kQORWaitObject0;
  }

  std::unique_ptr<IQOREvent> started = QORCreateEvent(true, false);

 private:
  bool result_;
  Gate* gate_;
};

// A shared worker that ignores the stop event is abandoned after the time-out, and lives on with
// its thread: the owner may drop it and the thread object at once.
TEST(QORThreadBasic, AnAbandonedThreadKeepsItsSharedWorkerAndFindsItsStopEventSet) {
  Gate gate;
  auto stubborn = std::make_shared<Worker>(true, &gate);
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
  gate.release->Set();
  const auto start = Clock::now();
  while (!watched.expired() && Clock::now() - start < std::chrono::seconds(5)) {
    std::this_thread::yield();
  }
  EXPECT_TRUE(watched.expired());
  EXPECT_TRUE(gate.sawStop);
}

}  // namespace
