#include "platform/QORThreadPriority.h"

#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

// Priorities map linearly onto nice values: 15 is -20, 0 is 0, -15 is 19.
namespace {

id_t ThreadId() {
  return static_cast<id_t>(::syscall(SYS_gettid));
}

int ToNice(int32_t priority) {
  priority = std::clamp(priority, -15, 15);
  return priority >= 0 ? -(priority * 20) / 15 : (-priority * 19) / 15;
}

int32_t FromNice(int nice) {
  return nice <= 0 ? (-nice * 15) / 20 : -(nice * 15) / 19;
}

}  // namespace

int32_t QORThreadPriority::Get() {
  errno = 0;
  const int nice = ::getpriority(PRIO_PROCESS, ThreadId());
  return errno != 0 ? 0 : FromNice(nice);
}

bool QORThreadPriority::Set(int32_t priority) {
  return ::setpriority(PRIO_PROCESS, ThreadId(), ToNice(priority)) == 0;
}
