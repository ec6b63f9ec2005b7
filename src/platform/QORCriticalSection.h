#pragma once

#include <mutex>

// In-process recursive lock, the host's critical section.
class QORCriticalSection {
 public:
  void Enter() { mutex_.lock(); }
  bool TryEnter() { return mutex_.try_lock(); }
  void Leave() { mutex_.unlock(); }

 private:
  std::recursive_mutex mutex_;
};

class QORCriticalSectionLock {
 public:
  explicit QORCriticalSectionLock(QORCriticalSection& section) : section_(section) {
    section_.Enter();
  }
  ~QORCriticalSectionLock() { section_.Leave(); }
  QORCriticalSectionLock(const QORCriticalSectionLock&) = delete;
  QORCriticalSectionLock& operator=(const QORCriticalSectionLock&) = delete;

 private:
  QORCriticalSection& section_;
};
