#include <gtest/gtest.h>

#include <ctime>
#include <filesystem>

#include "TempStateRoot.h"
#include "platform/QORPerformanceCounter.h"
#include "platform/QORSystemInfo.h"

namespace {

TEST(QORPerformanceCounter, RunsMonotonicallyAtTenMegahertz) {
  int64_t frequency = 0;
  ASSERT_TRUE(QORPerformanceCounter::Frequency(&frequency));
  EXPECT_EQ(frequency, 10'000'000);
  int64_t first = 0;
  int64_t second = 0;
  ASSERT_TRUE(QORPerformanceCounter::Query(&first));
  timespec pause{0, 20'000'000};
  ::nanosleep(&pause, nullptr);
  ASSERT_TRUE(QORPerformanceCounter::Query(&second));
  // 20 ms is 200 000 ticks at least; far less than a minute.
  EXPECT_GE(second - first, 200'000);
  EXPECT_LT(second - first, 600'000'000);
}

TEST(QORSystemInfo, StateRootFollowsQorRootOnEveryCall) {
  qortest::TempStateRoot first;
  EXPECT_EQ(QORSystemInfo::GetStateRoot(), std::filesystem::path(first.Path()));
  {
    qortest::TempStateRoot second;
    EXPECT_EQ(QORSystemInfo::GetStateRoot(), std::filesystem::path(second.Path()));
  }
  EXPECT_EQ(QORSystemInfo::GetStateRoot(), std::filesystem::path(first.Path()));
}

}  // namespace
