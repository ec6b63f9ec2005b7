#include <gtest/gtest.h>

#include <chrono>

#include "AllocationCounter.h"
#include "platform/IQOREvent.h"
#include "platform/QORWait.h"

namespace {

TEST(QORWait, ManualAndAutoResetAndMultipleWaitIndexAndTimeout) {
  auto manual = QORCreateEvent(true, true);
  auto automatic = QORCreateEvent(false, true);
  ASSERT_NE(manual, nullptr);
  ASSERT_NE(automatic, nullptr);
  {
    qortest::AllocationScope scope;  // Set, Reset and a wait run in real-time code
    EXPECT_EQ(QORWaitForSingle(*manual, 0), kQORWaitObject0);
    EXPECT_EQ(QORWaitForSingle(*manual, 0), kQORWaitObject0);
    manual->Reset();
    EXPECT_EQ(QORWaitForSingle(*manual, 0), kQORWaitTimeout);
    EXPECT_EQ(QORWaitForSingle(*automatic, 0), kQORWaitObject0);
    EXPECT_EQ(QORWaitForSingle(*automatic, 0), kQORWaitTimeout);
    EXPECT_EQ(scope.Count(), 0u);
  }
  // The lowest signalled index wins and only it is consumed.
  auto last = QORCreateEvent(false, false);
  IQORWaitable* const all[] = {manual.get(), automatic.get(), last.get()};
  last->Set();
  automatic->Set();
  EXPECT_EQ(QORWaitForMultiple(all, 0), kQORWaitObject0 + 1);
  EXPECT_EQ(QORWaitForMultiple(all, 0), kQORWaitObject0 + 2);
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(QORWaitForMultiple(all, 120), kQORWaitTimeout);
  const auto waited = std::chrono::steady_clock::now() - start;
  EXPECT_GE(waited, std::chrono::milliseconds(120));
  EXPECT_LT(waited, std::chrono::seconds(5));
}

}  // namespace
