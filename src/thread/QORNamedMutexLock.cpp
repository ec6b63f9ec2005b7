#include "thread/QORNamedMutexLock.h"

QORNamedMutexLock::~QORNamedMutexLock() {
  Unlock();
}

QORNamedMutexLock::Result QORNamedMutexLock::Lock(const std::wstring& name, uint32_t timeoutMs) {
  Unlock();
  mutex_ = QORCreateNamedMutex(name, false);
  // Creation fails when another process is removing the name at that moment: open it instead.
  if (!mutex_) mutex_ = QOROpenNamedMutex(name);
  if (!mutex_) return Result::kFailed;
  switch (mutex_->Wait(timeoutMs)) {
    case QORMutexWaitResult::kAcquired:
    case QORMutexWaitResult::kAbandoned:
      held_ = true;
      return Result::kHeld;
    case QORMutexWaitResult::kTimeout:
      mutex_.reset();
      return Result::kTimeout;
    case QORMutexWaitResult::kFailed:
      break;
  }
  mutex_.reset();
  return Result::kFailed;
}

void QORNamedMutexLock::Unlock() {
  if (held_ && mutex_) mutex_->Release();
  held_ = false;
  mutex_.reset();
}
