#pragma once

#include <cstddef>

#include "platform/IQORPipeClient.h"
#include "platform/win32/QORWin32Handle.h"

// A writer's end of one pipe instance, written through overlapped I/O so that a write can be
// given up after its time-out. Messages go out whole or the connection is given up, so the reader
// never has to find a message boundary again.
class QORWin32PipeClient : public IQORPipeClient {
 public:
  // Takes the pipe and the event its writes complete on.
  QORWin32PipeClient(HANDLE pipe, HANDLE event, size_t messageSize)
      : pipe_(pipe), event_(event), messageSize_(messageSize) {}
  QORWin32PipeClient(const QORWin32PipeClient&) = delete;
  QORWin32PipeClient& operator=(const QORWin32PipeClient&) = delete;

  bool Write(const void* message, uint32_t timeoutMs) override;

 private:
  QORWin32Handle pipe_;
  QORWin32Handle event_;
  size_t messageSize_;
};
