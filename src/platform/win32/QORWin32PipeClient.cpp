#include "platform/win32/QORWin32PipeClient.h"

#include "platform/IQORPipeServer.h"
#include "platform/win32/QORWin32ObjectName.h"

bool QORWin32PipeClient::Write(const void* message, uint32_t timeoutMs) {
  if (pipe_.Get() == nullptr) return false;
  OVERLAPPED overlapped{};
  overlapped.hEvent = event_.Get();
  const DWORD size = static_cast<DWORD>(messageSize_);
  DWORD written = 0;
  bool sent = false;
  if (WriteFile(pipe_.Get(), message, size, nullptr, &overlapped) ||
      GetLastError() == ERROR_IO_PENDING) {
    if (WaitForSingleObject(event_.Get(), timeoutMs) != WAIT_OBJECT_0) {
      CancelIoEx(pipe_.Get(), &overlapped);
    }
    // Waits for the cancellation too: the system writes into overlapped until then.
    sent = GetOverlappedResult(pipe_.Get(), &overlapped, &written, TRUE) && written == size;
  }
  // Gone, failed or too slow. Part of a message may be out: the stream cannot carry on.
  if (!sent) pipe_.Reset();
  return sent;
}

// Win32 numbers no instances: a writer reaches whichever instance of the name is free, so
// instance only names the writer's own connection. A writer keeping one connection per index, as
// the capture pipe's does, still ends up with one connection per reader. Never waits for a busy
// instance (ERROR_PIPE_BUSY).
std::unique_ptr<IQORPipeClient> QORConnectPipe(const std::wstring& name, uint32_t instance,
                                               size_t messageSize) {
  if (instance >= kQORPipeMaxInstances || messageSize == 0 || messageSize > MAXDWORD) {
    return nullptr;
  }
  // Identification only: the reader may learn who writes but not act as the writer.
  QORWin32Handle pipe(CreateFileW(
      QORWin32ObjectName::ForPipe(name).c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
      FILE_FLAG_OVERLAPPED | SECURITY_SQOS_PRESENT | SECURITY_IDENTIFICATION, nullptr));
  if (pipe.Get() == INVALID_HANDLE_VALUE) {
    pipe.Release();
    return nullptr;
  }
  HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  if (event == nullptr) return nullptr;
  return std::make_unique<QORWin32PipeClient>(pipe.Release(), event, messageSize);
}
