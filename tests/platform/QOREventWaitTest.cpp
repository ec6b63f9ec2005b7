#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "AllocationCounter.h"
#include "platform/IQOREvent.h"
#include "platform/QORWait.h"

namespace {

using Clock = std::chrono::steady_clock;

TEST(QOREvent, ManualAndAutoResetWithInitialState) {
  auto manual = QORCreateEvent(true, true);
  auto automatic = QORCreateEvent(false, true);
  ASSERT_NE(manual, nullptr);
  ASSERT_NE(automatic, nullptr);
  qortest::AllocationScope scope;  // Set, Reset and a wait run in real-time code
  EXPECT_EQ(QORWaitForSingle(*manual, 0), kQORWaitObject0);
  EXPECT_EQ(QORWaitForSingle(*manual, 0), kQORWaitObject0);
  manual->Reset();
  EXPECT_EQ(QORWaitForSingle(*manual, 0), kQORWaitTimeout);

  EXPECT_EQ(QORWaitForSingle(*automatic, 0), kQORWaitObject0);
  EXPECT_EQ(QORWaitForSingle(*automatic, 0), kQORWaitTimeout);
  // Sets coalesce into one signal; Reset withdraws it.
  automatic->Set();
  automatic->Set();
  EXPECT_EQ(QORWaitForSingle(*automatic, 0), kQORWaitObject0);
  EXPECT_EQ(QORWaitForSingle(*automatic, 0), kQORWaitTimeout);
  automatic->Set();
  automatic->Reset();
  EXPECT_EQ(QORWaitForSingle(*automatic, 0), kQORWaitTimeout);
  EXPECT_EQ(scope.Count(), 0u);
}

TEST(QORWait, MultipleWaitIndexTimeoutAndBadLists) {
  auto a = QORCreateEvent(false, false);
  auto b = QORCreateEvent(false, false);
  auto c = QORCreateEvent(false, false);
  IQORWaitable* const all[] = {a.get(), b.get(), c.get()};
  // The lowest signalled index wins and only it is consumed.
  c->Set();
  b->Set();
  EXPECT_EQ(QORWaitForMultiple(all, 0), kQORWaitObject0 + 1);
  EXPECT_EQ(QORWaitForMultiple(all, 0), kQORWaitObject0 + 2);
  const auto start = Clock::now();
  EXPECT_EQ(QORWaitForMultiple(all, 120), kQORWaitTimeout);
  EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(120));
  EXPECT_LT(Clock::now() - start, std::chrono::seconds(5));

  EXPECT_EQ(QORWaitForMultiple({}, 0), kQORWaitFailed);
  IQORWaitable* const withNull[] = {a.get(), nullptr};
  EXPECT_EQ(QORWaitForMultiple(withNull, 0), kQORWaitFailed);
  std::vector<IQORWaitable*> tooMany(65, a.get());
  EXPECT_EQ(QORWaitForMultiple(tooMany, 0), kQORWaitFailed);
}

// Several threads wait without time-out on one auto-reset event; each Set releases exactly one.
TEST(QORWait, AutoResetReleasesExactlyOneWaiterPerSignal) {
  auto event = QORCreateEvent(false, false);
  auto quit = QORCreateEvent(true, false);
  std::atomic<int> woken{0};
  std::vector<std::thread> waiters;
  for (int i = 0; i < 4; ++i) {
    waiters.emplace_back([&] {
      IQORWaitable* const both[] = {quit.get(), event.get()};
      while (QORWaitForMultiple(both, kQORInfinite) == kQORWaitObject0 + 1) ++woken;
    });
  }
  for (int round = 1; round <= 3; ++round) {
    event->Set();
    const auto start = Clock::now();
    while (woken.load() < round && Clock::now() - start < std::chrono::seconds(5)) {
      std::this_thread::yield();
    }
    EXPECT_EQ(woken.load(), round);
  }
  // No signal is left over for a fourth waiter.
  EXPECT_EQ(QORWaitForSingle(*event, 0), kQORWaitTimeout);
  quit->Set();
  for (auto& waiter : waiters) waiter.join();
  EXPECT_EQ(woken.load(), 3);
}

}  // namespace
