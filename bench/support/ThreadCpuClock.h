#pragma once

#include <time.h>

#include <chrono>

namespace qorbench {

// The calling thread's processor time as a steady chrono clock: time spent by other processes on a
// shared machine does not count, unlike wall time.
struct ThreadCpuClock {
  using duration = std::chrono::nanoseconds;
  using rep = duration::rep;
  using period = duration::period;
  using time_point = std::chrono::time_point<ThreadCpuClock>;
  static constexpr bool is_steady = true;

  static time_point now() noexcept {
    timespec t{};
    ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return time_point(std::chrono::seconds(t.tv_sec) + std::chrono::nanoseconds(t.tv_nsec));
  }
};

}  // namespace qorbench
