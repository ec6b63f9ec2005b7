#include "platform/QORWait.h"

#include <poll.h>

#include <array>
#include <cerrno>
#include <chrono>

namespace {

// The platform the host was designed for waits on at most 64 objects; a fixed array keeps the wait
// allocation-free.
constexpr size_t kMaxWaitObjects = 64;

using Clock = std::chrono::steady_clock;

int RemainingMs(uint32_t timeoutMs, Clock::time_point deadline) {
  if (timeoutMs == kQORInfinite) return -1;
  const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
  return left > 0 ? static_cast<int>(left) : 0;
}

}  // namespace

uint32_t QORWaitForMultiple(std::span<IQORWaitable* const> objects, uint32_t timeoutMs) {
  if (objects.empty() || objects.size() > kMaxWaitObjects) return kQORWaitFailed;
  std::array<pollfd, kMaxWaitObjects> fds{};
  for (size_t i = 0; i < objects.size(); ++i) {
    if (objects[i] == nullptr) return kQORWaitFailed;
    fds[i].fd = static_cast<int>(objects[i]->GetWaitHandle());
    fds[i].events = POLLIN;
  }
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    const int timeout = RemainingMs(timeoutMs, deadline);
    const int ready = ::poll(fds.data(), objects.size(), timeout);
    if (ready < 0) {
      if (errno == EINTR) continue;
      return kQORWaitFailed;
    }
    for (size_t i = 0; i < objects.size() && ready > 0; ++i) {
      if (fds[i].revents & POLLNVAL) return kQORWaitFailed;
      if ((fds[i].revents & (POLLIN | POLLERR | POLLHUP)) && objects[i]->ConsumeSignal()) {
        return kQORWaitObject0 + static_cast<uint32_t>(i);
      }
    }
    // Nothing ready, or another waiter took every signal we saw: wait on until the time-out.
    if (timeout == 0) return kQORWaitTimeout;
  }
}

uint32_t QORWaitForSingle(IQORWaitable& object, uint32_t timeoutMs) {
  IQORWaitable* const objects[] = {&object};
  return QORWaitForMultiple(objects, timeoutMs);
}
