#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "platform/IQORPipeServer.h"
#include "platform/win32/QORWin32Handle.h"

// One instance of a Win32 named pipe in byte mode, read through overlapped I/O. One operation is
// outstanding at a time, a connect while no writer is there and a read while one is; the manual-
// reset event of its OVERLAPPED is the waitable. It stays set once the operation is done, until
// Connect or Read takes the result and starts the next, so the wait is level-triggered.
//
// Win32 gives a pipe name up to five instances but no numbers: a writer reaches whichever instance
// is free. So that each reader knows its index, an instance also holds a named event
// "Global\QORPipeInstance.<index>.<pipe name>" as its claim on that index.
class QORWin32PipeServer : public IQORPipeServer {
 public:
  // Takes the pipe and the claim on index.
  QORWin32PipeServer(HANDLE pipe, HANDLE claim, uint32_t index, size_t messageSize);
  ~QORWin32PipeServer() override;
  QORWin32PipeServer(const QORWin32PipeServer&) = delete;
  QORWin32PipeServer& operator=(const QORWin32PipeServer&) = delete;

  // Starts waiting for the first writer; false when the instance is unusable.
  bool Listen();
  QORPipeResult Connect() override;
  QORPipeResult Read(void* message, size_t* size) override;
  void Disconnect() override;
  bool IsConnected() const override { return state_ == State::kConnected; }
  uint32_t GetIndex() const override { return index_; }
  QORWaitHandle GetWaitHandle() const override {
    return reinterpret_cast<QORWaitHandle>(event_.Get());
  }
  bool ConsumeSignal() override { return true; }

 private:
  // kArrived: a writer is there, not yet taken by Connect (which starts its first read).
  enum class State { kIdle, kListening, kArrived, kConnected };

  bool StartRead();
  // Ends an outstanding operation; the kernel writes into overlapped_ until then.
  void Cancel();

  QORWin32Handle pipe_;
  QORWin32Handle claim_;
  QORWin32Handle event_;
  OVERLAPPED overlapped_{};
  State state_ = State::kIdle;
  bool reading_ = false;
  uint32_t index_;
  size_t messageSize_;
  std::vector<unsigned char> partial_;
  size_t filled_ = 0;
};
