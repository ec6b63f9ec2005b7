#include "platform/QORPerformanceCounter.h"

#include <atomic>

#include "platform/win32/QORWin32.h"

namespace {

std::atomic<IQORCounterSource*> testSource{nullptr};

}  // namespace

bool QORPerformanceCounter::Query(int64_t* counter) {
  if (counter == nullptr) return false;
  if (IQORCounterSource* source = testSource.load(std::memory_order_acquire)) {
    return source->Query(counter);
  }
  LARGE_INTEGER now{};
  if (!::QueryPerformanceCounter(&now)) return false;
  *counter = now.QuadPart;
  return true;
}

bool QORPerformanceCounter::Frequency(int64_t* ticksPerSecond) {
  if (ticksPerSecond == nullptr) return false;
  if (IQORCounterSource* source = testSource.load(std::memory_order_acquire)) {
    return source->Frequency(ticksPerSecond);
  }
  LARGE_INTEGER frequency{};
  if (!::QueryPerformanceFrequency(&frequency)) return false;
  *ticksPerSecond = frequency.QuadPart;
  return true;
}

void QORPerformanceCounter::SetSourceForTesting(IQORCounterSource* source) {
  testSource.store(source, std::memory_order_release);
}
