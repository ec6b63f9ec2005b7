#include "platform/QORWait.h"

#include <array>

#include "platform/win32/QORWin32.h"

namespace {

uint32_t RemainingMs(uint32_t timeoutMs, ULONGLONG start) {
  if (timeoutMs == kQORInfinite) return INFINITE;
  const ULONGLONG passed = GetTickCount64() - start;
  return passed >= timeoutMs ? 0 : static_cast<uint32_t>(timeoutMs - passed);
}

}  // namespace

uint32_t QORWaitForMultiple(std::span<IQORWaitable* const> objects, uint32_t timeoutMs) {
  if (objects.empty() || objects.size() > MAXIMUM_WAIT_OBJECTS) return kQORWaitFailed;
  std::array<HANDLE, MAXIMUM_WAIT_OBJECTS> handles{};
  for (size_t i = 0; i < objects.size(); ++i) {
    if (objects[i] == nullptr) return kQORWaitFailed;
    handles[i] = reinterpret_cast<HANDLE>(objects[i]->GetWaitHandle());
  }
  const DWORD count = static_cast<DWORD>(objects.size());
  const ULONGLONG start = GetTickCount64();
  for (;;) {
    const uint32_t timeout = RemainingMs(timeoutMs, start);
    // The lowest index wins when several are signalled, as the interface asks.
    const DWORD woke = WaitForMultipleObjects(count, handles.data(), FALSE, timeout);
    if (woke == WAIT_TIMEOUT) return kQORWaitTimeout;
    DWORD index;
    if (woke < WAIT_OBJECT_0 + count) {
      index = woke - WAIT_OBJECT_0;
    } else if (woke >= WAIT_ABANDONED_0 && woke < WAIT_ABANDONED_0 + count) {
      index = woke - WAIT_ABANDONED_0;
    } else {
      return kQORWaitFailed;
    }
    // An object that had nothing for us after all gives way to the next signalled one.
    for (DWORD i = index; i < count; ++i) {
      const bool fired = i == index || WaitForSingleObject(handles[i], 0) == WAIT_OBJECT_0;
      if (fired && objects[i]->ConsumeSignal()) return kQORWaitObject0 + i;
    }
    // Another waiter took every signal we saw: wait on until the time-out.
    if (timeout == 0) return kQORWaitTimeout;
  }
}

uint32_t QORWaitForSingle(IQORWaitable& object, uint32_t timeoutMs) {
  IQORWaitable* const objects[] = {&object};
  return QORWaitForMultiple(objects, timeoutMs);
}
