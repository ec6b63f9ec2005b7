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

long ElapsedMs(Clock::time_point start) {
  return static_cast<long>(
      std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count());
}

TEST(QOREvent, ManualResetStaysSignalledUntilReset) {
  auto event = QORCreateEvent(true, false);
  ASSERT_NE(event, nullptr);
  EXPECT_EQ(QORWaitForSingle(*event, 0), kQORWaitTimeout);
  event->Set();
  EXPECT_EQ(QORWaitForSingle(*event, 0), kQORWaitObject0);
  EXPECT_EQ(QORWaitForSingle(*event, 0), kQORWaitObject0);
  event->Reset();
  EXPECT_EQ(QORWaitForSingle(*event, 0), kQORWaitTimeout);
}

TEST(QOREvent, AutoResetIsConsumedByOneWaitAndSetsCoalesce) {
  auto event = QORCreateEvent(false, false);
  ASSERT_NE(event, nullptr);
  event->Set();
  event->Set();
  event->Set();
  EXPECT_EQ(QORWaitForSingle(*event, 0), kQORWaitObject0);
  EXPECT_EQ(QORWaitForSingle(*event, 0), kQORWaitTimeout);
  event->Set();
  event->Reset();
  EXPECT_EQ(QORWaitForSingle(*event, 0), kQORWaitTimeout);
}

TEST(QOREvent, InitialStateIsHonoured) {
  auto manual = QORCreateEvent(true, true);
  auto automatic = QORCreateEvent(false, true);
  EXPECT_EQ(QORWaitForSingle(*manual, 0), kQORWaitObject0);
  EXPECT_EQ(QORWaitForSingle(*automatic, 0), kQORWaitObject0);
  EXPECT_EQ(QORWaitForSingle(*automatic, 0), kQORWaitTimeout);
}

TEST(QOREvent, SetAndResetDoNotAllocate) {
  auto event = QORCreateEvent(false, false);
  qortest::AllocationScope scope;
  event->Set();
  event->Reset();
  event->Set();
  EXPECT_EQ(QORWaitForSingle(*event, 0), kQORWaitObject0);
  EXPECT_EQ(scope.Count(), 0u);
}

TEST(QORWait, LowestSignalledIndexWinsAndOnlyItIsConsumed) {
  auto a = QORCreateEvent(false, false);
  auto b = QORCreateEvent(false, false);
  auto c = QORCreateEvent(false, false);
  IQORWaitable* const all[] = {a.get(), b.get(), c.get()};
  c->Set();
  b->Set();
  EXPECT_EQ(QORWaitForMultiple(all, 0), kQORWaitObject0 + 1);
  EXPECT_EQ(QORWaitForMultiple(all, 0), kQORWaitObject0 + 2);
  EXPECT_EQ(QORWaitForMultiple(all, 0), kQORWaitTimeout);
}

TEST(QORWait, TimesOutAfterTheGivenTime) {
  auto event = QORCreateEvent(true, false);
  const auto start = Clock::now();
  EXPECT_EQ(QORWaitForSingle(*event, 120), kQORWaitTimeout);
  const long elapsed = ElapsedMs(start);
  EXPECT_GE(elapsed, 120);
  EXPECT_LT(elapsed, 5000);
}

TEST(QORWait, RejectsEmptyAndNullObjectLists) {
  auto event = QORCreateEvent(true, true);
  EXPECT_EQ(QORWaitForMultiple({}, 0), kQORWaitFailed);
  IQORWaitable* const withNull[] = {event.get(), nullptr};
  EXPECT_EQ(QORWaitForMultiple(withNull, 0), kQORWaitFailed);
  std::vector<IQORWaitable*> tooMany(65, event.get());
  EXPECT_EQ(QORWaitForMultiple(tooMany, 0), kQORWaitFailed);
}

TEST(QORWait, SetFromAnotherThreadWakesAnInfiniteWait) {
  auto event = QORCreateEvent(false, false);
  std::thread setter([&] { event->Set(); });
  EXPECT_EQ(QORWaitForSingle(*event, kQORInfinite), kQORWaitObject0);
  setter.join();
}

// Several threads wait on one auto-reset event; each Set must release exactly one of them.
TEST(QORWait, AutoResetReleasesExactlyOneWaiterPerSignal) {
  constexpr int kWaiters = 4;
  auto event = QORCreateEvent(false, false);
  auto quit = QORCreateEvent(true, false);
  std::atomic<int> woken{0};
  std::vector<std::thread> waiters;
  for (int i = 0; i < kWaiters; ++i) {
    waiters.emplace_back([&] {
      IQORWaitable* const both[] = {quit.get(), event.get()};
      while (QORWaitForMultiple(both, kQORInfinite) == kQORWaitObject0 + 1) ++woken;
    });
  }
  auto wakeAndCount = [&](int expected) {
    const auto start = Clock::now();
    while (woken.load() < expected && ElapsedMs(start) < 5000) std::this_thread::yield();
  };
  for (int round = 1; round <= 3; ++round) {
    event->Set();
    wakeAndCount(round);
    EXPECT_EQ(woken.load(), round);
  }
  // No signal is left over for a fourth waiter.
  EXPECT_EQ(QORWaitForSingle(*event, 0), kQORWaitTimeout);
  quit->Set();
  for (auto& waiter : waiters) waiter.join();
  EXPECT_EQ(woken.load(), 3);
}

}  // namespace
