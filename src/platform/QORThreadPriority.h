#pragma once

#include <cstdint>

// The calling thread's scheduling priority on the platform's scale (0 normal, 15 time critical,
// -15 idle). Raising needs a privilege that ordinary processes may lack; then Set fails and
// nothing changes.
class QORThreadPriority {
 public:
  static int32_t Get();
  static bool Set(int32_t priority);
};

// Raises the calling thread's priority for one scope and restores it at the end.
class QORThreadPriorityScope {
 public:
  explicit QORThreadPriorityScope(int32_t priority)
      : previous_(QORThreadPriority::Get()), raised_(QORThreadPriority::Set(priority)) {}
  ~QORThreadPriorityScope() {
    if (raised_) QORThreadPriority::Set(previous_);
  }
  QORThreadPriorityScope(const QORThreadPriorityScope&) = delete;
  QORThreadPriorityScope& operator=(const QORThreadPriorityScope&) = delete;
  bool Raised() const { return raised_; }

 private:
  int32_t previous_;
  bool raised_;
};
