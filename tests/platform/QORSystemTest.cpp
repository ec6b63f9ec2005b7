#include <gtest/gtest.h>

#include <stdlib.h>

#include <cstdlib>
#include <string>

#include "TempStateRoot.h"
#include "platform/QORPerformanceCounter.h"
#include "platform/QORSystemInfo.h"

namespace {

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
