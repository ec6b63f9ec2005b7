#pragma once

#include <atomic>

#include "platform/IQORNamedMutex.h"
#include "platform/win32/QORWin32Handle.h"

// A Win32 mutex: recursive for its owner, and abandoned to the next owner when its owner dies.
class QORWin32NamedMutex : public IQORNamedMutex {
 public:
  // Takes the handle.
  explicit QORWin32NamedMutex(HANDLE handle) : handle_(handle) {}
  ~QORWin32NamedMutex() override;
  QORWin32NamedMutex(const QORWin32NamedMutex&) = delete;
  QORWin32NamedMutex& operator=(const QORWin32NamedMutex&) = delete;

  // Counts an ownership taken at creation.
  void TakeInitialOwnership();
  QORMutexWaitResult Wait(uint32_t timeoutMs) override;
  bool Release() override;

 private:
  QORWin32Handle handle_;
  // Ownership taken through this handle: the thread and its depth. Written only by the owning
  // thread while it owns the mutex.
  std::atomic<DWORD> ownerThread_{0};
  std::atomic<uint32_t> depth_{0};
};
