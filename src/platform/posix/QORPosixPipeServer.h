#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "platform/IQORPipeServer.h"
#include "platform/posix/QORNamedObject.h"

// One pipe instance: a named object that this reader holds alone, whose companion file is a
// listening Unix stream socket. The reader's hold makes the slot taken; when the reader closes or
// dies the slot is free again and the next creator removes the stale socket. An epoll descriptor
// over the listening and the connected socket is the waitable.
class QORPosixPipeServer : public IQORPipeServer {
 public:
  QORPosixPipeServer(std::unique_ptr<QORNamedObject> object, int listenFd, int epollFd,
                     uint32_t index, size_t messageSize);
  ~QORPosixPipeServer() override;
  QORPosixPipeServer(const QORPosixPipeServer&) = delete;
  QORPosixPipeServer& operator=(const QORPosixPipeServer&) = delete;

  QORPipeResult Connect() override;
  QORPipeResult Read(void* message, size_t* size) override;
  void Disconnect() override;
  bool IsConnected() const override { return connectedFd_ >= 0; }
  uint32_t GetIndex() const override { return index_; }
  QORWaitHandle GetWaitHandle() const override { return epollFd_; }
  // Level-triggered: whatever fired is still there when Connect or Read looks.
  bool ConsumeSignal() override { return true; }

  // Binds and listens on a new socket at dirFd/name; -1 on failure.
  static int Listen(int dirFd, const std::string& name);

 private:
  // Writers beyond the one being served are turned away at once, so that none of them is left
  // sending into a queue nobody reads.
  void RefuseWaiting();

  std::unique_ptr<QORNamedObject> object_;
  int listenFd_;
  int epollFd_;
  int connectedFd_ = -1;
  uint32_t index_;
  size_t messageSize_;
  std::vector<unsigned char> partial_;
  size_t filled_ = 0;
};
