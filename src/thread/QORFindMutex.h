#pragma once

#include <atomic>
#include <cstdint>
#include <string>

#include "thread/IQORFindMutexNotify.h"
#include "thread/IQORThreadBasicWorker.h"
#include "thread/QORThreadBasic.h"

// Watches whether a named mutex exists (another instance of the host holds it) and tells the
// listener about every change. The owner sets the name, listener and state, may check once at
// once, and runs the polling loop on GetThread() with this object as worker.
class QORFindMutex : public IQORThreadBasicWorker {
 public:
  static constexpr uint32_t kStateUnchecked = 0;
  static constexpr uint32_t kStatePresent = 2;
  static constexpr uint32_t kStateAbsent = 3;
  static constexpr uint32_t kResultUnchanged = 1;
  static constexpr uint32_t kPollPeriodMs = 300;

  QORFindMutex() = default;
  ~QORFindMutex() override;

  // Call while the thread is stopped.
  void SetName(const std::wstring& name);
  const std::wstring& GetName() const { return name_; }
  void SetListener(IQORFindMutexNotify* listener) { listener_.store(listener); }
  void SetState(uint32_t state) { lastState_.store(state); }
  uint32_t GetState() const { return lastState_.load(); }
  QORThreadBasic& GetThread() { return thread_; }

  // One check: kResultUnchanged, or kStatePresent / kStateAbsent when the state changed (the
  // listener hears the change).
  uint32_t CheckNow();
  // Checks every poll period until the stop event is signalled.
  bool DoWork(QORThreadBasic& thread, IQOREvent& stopEvent) override;

 private:
  std::atomic<uint32_t> lastState_{kStateUnchecked};
  std::wstring name_;
  std::atomic<uint32_t> pollPeriodMs_{kPollPeriodMs};
  std::atomic<IQORFindMutexNotify*> listener_{nullptr};
  // Last member: stopped before the others go.
  QORThreadBasic thread_;
};
