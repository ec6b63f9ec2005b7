#pragma once

#include "platform/win32/QORWin32.h"

// Owns one kernel handle (null when empty) and closes it.
class QORWin32Handle {
 public:
  QORWin32Handle() = default;
  explicit QORWin32Handle(HANDLE handle) : handle_(handle) {}
  ~QORWin32Handle() { Reset(); }
  QORWin32Handle(const QORWin32Handle&) = delete;
  QORWin32Handle& operator=(const QORWin32Handle&) = delete;

  HANDLE Get() const { return handle_; }
  HANDLE Release() {
    HANDLE handle = handle_;
    handle_ = nullptr;
    return handle;
  }
  void Reset(HANDLE handle = nullptr) {
    if (handle_ != nullptr) CloseHandle(handle_);
    handle_ = handle;
  }

 private:
  HANDLE handle_ = nullptr;
};
