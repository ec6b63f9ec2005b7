#include <gtest/gtest.h>

#include <stdlib.h>

#include <cstdlib>
#include <string>

#include "TempStateRoot.h"
#include "platform/QORPerformanceCounter.h"
#include "platform/QORSystemInfo.h"

namespace {

class FakeCounter : public IQORCounterSource {
 public:
  bool Query(int64_t* counter) override {
    *counter = value;
    return true;
  }
  bool Frequency(int64_t* ticksPerSecond) override {
    *ticksPerSecond = 1000;
    return true;
  }
  int64_t value = 42;
};

// Restores one environment variable when it goes out of scope.
class EnvGuard {
 public:
  explicit EnvGuard(const char* name) : name_(name) {
    if (const char* old = std::getenv(name)) {
      had_ = true;
      old_ = old;
    }
  }
  ~EnvGuard() {
    if (had_) {
      ::setenv(name_, old_.c_str(), 1);
    } else {
      ::unsetenv(name_);
    }
  }

 private:
  const char* name_;
  bool had_ = false;
  std::string old_;
};

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
  EXPECT_FALSE(QORPerformanceCounter::Query(nullptr));
  EXPECT_FALSE(QORPerformanceCounter::Frequency(nullptr));
}

TEST(QORPerformanceCounter, TestSourceReplacesTheClockUntilCleared) {
  FakeCounter fake;
  QORPerformanceCounter::SetSourceForTesting(&fake);
  int64_t value = 0;
  int64_t frequency = 0;
  EXPECT_TRUE(QORPerformanceCounter::Query(&value));
  EXPECT_TRUE(QORPerformanceCounter::Frequency(&frequency));
  QORPerformanceCounter::SetSourceForTesting(nullptr);
  EXPECT_EQ(value, 42);
  EXPECT_EQ(frequency, 1000);
  ASSERT_TRUE(QORPerformanceCounter::Frequency(&frequency));
  EXPECT_EQ(frequency, 10'000'000);
}

TEST(QORSystemInfo, VersionIsTenUnlessATestSetsAnother) {
  const QOROSVersion standard = QORSystemInfo::GetOSVersion();
  EXPECT_EQ(standard.major, 10u);
  EXPECT_EQ(standard.minor, 0u);
  const QOROSVersion older{6, 1, 7601};
  QORSystemInfo::SetOSVersionForTesting(&older);
  const QOROSVersion seen = QORSystemInfo::GetOSVersion();
  QORSystemInfo::SetOSVersionForTesting(nullptr);
  EXPECT_EQ(seen.major, 6u);
  EXPECT_EQ(seen.minor, 1u);
  EXPECT_EQ(seen.build, 7601u);
  EXPECT_EQ(QORSystemInfo::GetOSVersion().major, 10u);
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

TEST(QORSystemInfo, StateRootDefaultsDependOnTheUser) {
  EnvGuard root("QOR_ROOT");
  EnvGuard state("XDG_STATE_HOME");
  EnvGuard home("HOME");
  ::unsetenv("QOR_ROOT");
  ::setenv("XDG_STATE_HOME", "/xdg/state", 1);
  ::setenv("HOME", "/home/someone", 1);
  if (::geteuid() == 0) {
    EXPECT_EQ(QORSystemInfo::GetStateRoot(), std::filesystem::path("/var/lib/qorapo"));
  } else {
    EXPECT_EQ(QORSystemInfo::GetStateRoot(), std::filesystem::path("/xdg/state/qorapo"));
    ::unsetenv("XDG_STATE_HOME");
    EXPECT_EQ(QORSystemInfo::GetStateRoot(),
              std::filesystem::path("/home/someone/.local/state/qorapo"));
  }
  // An empty QOR_ROOT counts as unset rather than as the working directory.
  ::setenv("QOR_ROOT", "", 1);
  EXPECT_NE(QORSystemInfo::GetStateRoot(), std::filesystem::path(""));
}

}  // namespace
