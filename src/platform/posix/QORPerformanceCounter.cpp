#include "platform/QORPerformanceCounter.h"

#include <time.h>

#include <atomic>

namespace {

constexpr int64_t kTicksPerSecond = 10'000'000;
constexpr int64_t kNanosecondsPerTick = 1'000'000'000 / kTicksPerSecond;

std::atomic<IQORCounterSource*> testSource{nullptr};

}  // namespace

bool QORPerformanceCounter::Query(int64_t* counter) {
  if (counter == nullptr) return false;
  if (IQORCounterSource* source = testSource.load(std::memory_order_acquire)) {
    return source->Query(counter);
  }
  timespec now{};
  if (::clock_gettime(CLOCK_MONOTONIC, &now) != 0) return false;
  *counter = static_cast<int64_t>(now.tv_sec) * kTicksPerSecond + now.tv_nsec / kNanosecondsPerTick;
  return true;
}

bool QORPerformanceCounter::Frequency(int64_t* ticksPerSecond) {
  if (ticksPerSecond == nullptr) return false;
  if (IQORCounterSource* source = testSource.load(std::memory_order_acquire)) {
    return source->Frequency(ticksPerSecond);
  }
  *ticksPerSecond = kTicksPerSecond;
  return true;
}

void QORPerformanceCounter::SetSourceForTesting(IQORCounterSource* source) {
  testSource.store(source, std::memory_order_release);
}
