#pragma once

#include <memory>

#include "platform/IQOREvent.h"
#include "platform/win32/QORWin32Handle.h"

// A Win32 event, plain or named. The wait itself consumes an auto-reset signal, so nothing is left
// for ConsumeSignal to do. Every live one is known by its address, which is what lets a HANDLE of
// the engine's interfaces name it.
class QORWin32Event : public IQOREvent {
 public:
  // Takes the handle.
  explicit QORWin32Event(HANDLE handle);
  ~QORWin32Event() override;
  QORWin32Event(const QORWin32Event&) = delete;
  QORWin32Event& operator=(const QORWin32Event&) = delete;

  void Set() override { SetEvent(handle_.Get()); }
  void Reset() override { ResetEvent(handle_.Get()); }
  QORWaitHandle GetWaitHandle() const override {
    return reinterpret_cast<QORWaitHandle>(handle_.Get());
  }
  bool ConsumeSignal() override { return true; }

 private:
  QORWin32Handle handle_;
};
