#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "platform/IQORNamedMutex.h"

// Holds a named mutex around one piece of work that other processes must not interleave with
// theirs (a read-modify-write of stored settings, a registration). The mutex is created or opened
// by name and taken with a time-out; one whose holder died is taken over. Destruction releases it.
// Never for the period path: taking it waits for other processes.
class QORNamedMutexLock {
 public:
  enum class Result { kHeld, kTimeout, kFailed };

  QORNamedMutexLock() = default;
  ~QORNamedMutexLock();
  QORNamedMutexLock(const QORNamedMutexLock&) = delete;
  QORNamedMutexLock& operator=(const QORNamedMutexLock&) = delete;

  // Releases what is held, then takes name within timeoutMs.
  Result Lock(const std::wstring& name, uint32_t timeoutMs);
  void Unlock();
  bool IsHeld() const { return held_; }

 private:
  std::unique_ptr<IQORNamedMutex> mutex_;
  bool held_ = false;
};
