#pragma once

#include <sys/syscall.h>
#include <sys/types.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <thread>

namespace qortest {

// The kernel's id of the calling thread.
inline pid_t CurrentThreadId() {
  return static_cast<pid_t>(::syscall(SYS_gettid));
}

// Waits up to timeoutMs for the thread of this process with that id to be gone: the way to wait
// for a thread that was detached.
inline bool WaitForThreadEnd(pid_t tid, int timeoutMs) {
  const std::filesystem::path task = "/proc/self/task/" + std::to_string(tid);
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (std::filesystem::exists(task)) {
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return true;
}

}  // namespace qortest
