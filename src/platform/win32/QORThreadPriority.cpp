#include "platform/QORThreadPriority.h"

#include <algorithm>

#include "platform/win32/QORWin32.h"

// The host's priorities are the system's thread priorities (-15 idle to 15 time-critical).
int32_t QORThreadPriority::Get() {
  const int priority = ::GetThreadPriority(::GetCurrentThread());
  return priority == THREAD_PRIORITY_ERROR_RETURN ? 0 : priority;
}

bool QORThreadPriority::Set(int32_t priority) {
  return ::SetThreadPriority(::GetCurrentThread(), std::clamp(priority, -15, 15)) != 0;
}
