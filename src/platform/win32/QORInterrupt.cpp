#include "platform/QORInterrupt.h"

#include <atomic>
#include <mutex>
#include <string>

#include "platform/win32/QORWin32.h"

namespace {

// 128 + SIGINT, as a shell reports a program Ctrl-C ended.
constexpr UINT kEndedCode = 130;

std::atomic<bool> gRequested{false};
std::atomic<bool> gCaught{false};
std::atomic<bool> gHeldCame{false};
std::atomic<void (*)()> gOnRequest{nullptr};
std::once_flag gHooked;
std::mutex gSetUp;
// Named after the process, so that Send in another process finds it; set by every request.
HANDLE gEvent = nullptr;
HANDLE gWatch = nullptr;

std::wstring EventName(DWORD processId) {
  return L"Local\\qorapo-interrupt-" + std::to_wstring(processId);
}

void EnsureEvent() {
  std::lock_guard<std::mutex> lock(gSetUp);
  if (gEvent == nullptr) {
    gEvent = ::CreateEventW(nullptr, TRUE, FALSE, EventName(::GetCurrentProcessId()).c_str());
  }
}

// The flag first, for those who poll; a waiter returns once the hook has run, wherever it runs.
void Arrived() {
  gRequested.store(true);
  std::call_once(gHooked, [] {
    if (void (*hook)() = gOnRequest.load()) hook();
  });
}

VOID CALLBACK OnEvent(PVOID, BOOLEAN) {
  Arrived();
}

BOOL WINAPI OnConsole(DWORD) {
  if (!gCaught.load()) {
    gHeldCame.store(true);
    return TRUE;
  }
  if (gEvent != nullptr) ::SetEvent(gEvent);
  Arrived();
  return TRUE;
}

}  // namespace

void QORInterrupt::Catch(void (*onRequest)()) {
  gOnRequest.store(onRequest);
  EnsureEvent();
  std::lock_guard<std::mutex> lock(gSetUp);
  if (gCaught.exchange(true)) return;
  ::SetConsoleCtrlHandler(OnConsole, TRUE);
  if (gEvent != nullptr) {
    ::RegisterWaitForSingleObject(&gWatch, gEvent, OnEvent, nullptr, INFINITE,
                                  WT_EXECUTEONLYONCE | WT_EXECUTEDEFAULT);
  }
  if (gHeldCame.load()) Arrived();
}

bool QORInterrupt::Requested() {
  return gRequested.load();
}

bool QORInterrupt::Wait(int milliseconds) {
  if (gRequested.load()) return true;
  const DWORD timeout = milliseconds < 0 ? INFINITE : static_cast<DWORD>(milliseconds);
  if (gEvent == nullptr) {
    ::Sleep(timeout);
    return gRequested.load();
  }
  // The event is set before the flag: whoever set it, the flag follows.
  if (::WaitForSingleObject(gEvent, timeout) == WAIT_OBJECT_0) Arrived();
  return gRequested.load();
}

void QORInterrupt::Hold() {
  // Send finds the event and waits like Ctrl-C does, instead of ending the process at once.
  EnsureEvent();
  if (!gCaught.load()) ::SetConsoleCtrlHandler(OnConsole, TRUE);
}

void QORInterrupt::Release() {
  if (gCaught.load()) return;
  const bool sent = gEvent != nullptr && ::WaitForSingleObject(gEvent, 0) == WAIT_OBJECT_0;
  if (gHeldCame.load() || sent) ::ExitProcess(kEndedCode);
  ::SetConsoleCtrlHandler(OnConsole, FALSE);
  // Not caught any more: Send ends the process again.
  std::lock_guard<std::mutex> lock(gSetUp);
  if (gEvent != nullptr) ::CloseHandle(gEvent);
  gEvent = nullptr;
}

bool QORInterrupt::Send(uint32_t processId) {
  if (processId == 0) return false;
  if (HANDLE event = ::OpenEventW(EVENT_MODIFY_STATE, FALSE, EventName(processId).c_str())) {
    const bool set = ::SetEvent(event) != 0;
    ::CloseHandle(event);
    return set;
  }
  HANDLE process = ::OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, processId);
  if (process == nullptr) return false;
  // A process that has ended may still be there for those who hold it: nobody to ask.
  const bool ended = ::WaitForSingleObject(process, 0) == WAIT_TIMEOUT &&
                     ::TerminateProcess(process, kEndedCode) != 0;
  ::CloseHandle(process);
  return ended;
}
