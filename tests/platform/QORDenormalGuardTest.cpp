#include <gtest/gtest.h>

#include <cfenv>
#include <cmath>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "platform/QORDenormalGuard.h"

namespace {

#if defined(__SSE__) || defined(__aarch64__)
constexpr bool kProcessorFlushes = true;
#else
constexpr bool kProcessorFlushes = false;
#endif

// Through volatile, so that the compiler folds none of it at build time.
volatile float gTiny = 1e-39f;  // subnormal: below FLT_MIN (1.18e-38)
volatile float gHalf = 0.5f;
volatile float gZero = 0.0f;
volatile float gSmallNormal = 1.5e-38f;

struct Case {
  const char* what;
  float (*compute)();
  float unguarded;  // the exact IEEE result
};

// Each a subnormal result or a subnormal operand; what flushing turns into 0.
const Case kCases[] = {
    {"subnormal times 0.5", [] { return gTiny * gHalf; }, 5e-40f},
    {"subnormal plus 0 (operand read as 0)", [] { return gTiny + gZero; }, 1e-39f},
    {"normal minus a nearby normal", [] { return gSmallNormal - 1.4e-38f; }, 1.5e-38f - 1.4e-38f},
    {"normal times 0.01", [] { return gSmallNormal * 0.01f; }, 1.5e-40f},
};

void ExpectUnguarded(const char* where) {
  for (const Case& c : kCases) {
    const float result = c.compute();
    EXPECT_EQ(std::fpclassify(result), FP_SUBNORMAL) << where << ": " << c.what;
    EXPECT_FLOAT_EQ(result, c.unguarded) << where << ": " << c.what;
  }
}

void ExpectFlushed(const char* where) {
  for (const Case& c : kCases) {
    const float result = c.compute();
    EXPECT_EQ(result, 0.0f) << where << ": " << c.what;
    EXPECT_FALSE(std::signbit(result)) << where << ": " << c.what;
  }
}

TEST(QORDenormalGuard, FlushesSubnormalsInsideItsScopeOnlyAndRestoresTheThreadsMode) {
  if (!kProcessorFlushes) GTEST_SKIP() << "this processor has no flush-to-zero mode";
  ASSERT_FALSE(QORDenormalGuard::IsFlushing());
  ExpectUnguarded("before");
  {
    QORDenormalGuard guard;
    EXPECT_TRUE(QORDenormalGuard::IsFlushing());
    ExpectFlushed("inside");
    {
      // A nested guard ends without switching its caller's flushing off.
      QORDenormalGuard inner;
      ExpectFlushed("inside the nested guard");
    }
    EXPECT_TRUE(QORDenormalGuard::IsFlushing());
    ExpectFlushed("after the nested guard");
  }
  EXPECT_FALSE(QORDenormalGuard::IsFlushing());
  ExpectUnguarded("after");
}

TEST(QORDenormalGuard, KeepsTheRoundingModeAndLeavesOtherThreadsAlone) {
  if (!kProcessorFlushes) GTEST_SKIP() << "this processor has no flush-to-zero mode";
  // Started before the guard (a new thread takes its creator's mode), it looks while the guard
  // is held.
  std::mutex lock;
  std::condition_variable changed;
  bool look = false;
  bool looked = false;
  bool otherFlushing = true;
  std::thread other([&] {
    std::unique_lock<std::mutex> hold(lock);
    changed.wait(hold, [&] { return look; });
    otherFlushing = QORDenormalGuard::IsFlushing();
    looked = true;
    changed.notify_all();
  });
  ASSERT_EQ(std::fesetround(FE_DOWNWARD), 0);
  {
    QORDenormalGuard guard;
    EXPECT_EQ(std::fegetround(), FE_DOWNWARD);
    // 1/3 rounded down: one step below the nearest float, 0x1.555556p-2.
    volatile float three = 3.0f;
    EXPECT_EQ(1.0f / three, 0x1.555554p-2f);
    std::unique_lock<std::mutex> hold(lock);
    look = true;
    changed.notify_all();
    changed.wait(hold, [&] { return looked; });
  }
  other.join();
  EXPECT_EQ(std::fegetround(), FE_DOWNWARD);
  std::fesetround(FE_TONEAREST);
  EXPECT_FALSE(otherFlushing);
}

}  // namespace
