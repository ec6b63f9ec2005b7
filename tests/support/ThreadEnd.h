#pragma once

#ifdef _WIN32
#include <windows.h>
#else
#include <sys/syscall.h>
#include <sys/types.h>
#include <unistd.h>
#endif

#include <chrono>
#include <filesystem>
#include <string>
#include <thread>

namespace qortest {

#ifdef _WIN32
using ThreadId = DWORD;

inline ThreadId CurrentThreadId() {
  return ::GetCurrentThreadId();
}

inline bool WaitForThreadEnd(ThreadId tid, int timeoutMs) {
  const HANDLE thread = ::OpenThread(SYNCHRONIZE, FALSE, tid);
  if (thread == nullptr) return true;  // already gone
  const bool ended = ::WaitForSingleObject(thread, static_cast<DWORD>(timeoutMs)) == WAIT_OBJECT_0;
  ::CloseHandle(thread);
  return ended;
}
#else
using ThreadId = pid_t;

// The kernel's id of the calling thread.
inline ThreadId CurrentThreadId() {
  return static_cast<pid_t>(::syscall(SYS_gettid));
}

// Waits up to timeoutMs for the thread of this process with that id to be gone: the way to wait
// for a thread that was detached.
inline bool WaitForThreadEnd(ThreadId tid, int timeoutMs) {
  const std::filesystem::path task = "/proc/self/task/" + std::to_string(tid);
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (std::filesystem::exists(task)) {
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return true;
}
#endif

}  // namespace qortest
