#pragma once

#include <cstddef>

#include "platform/IQORPipeClient.h"

// A connected Unix stream socket to one pipe instance. Messages go out whole or the connection is
// given up, so the reader never has to find a message boundary again.
class QORPosixPipeClient : public IQORPipeClient {
 public:
  QORPosixPipeClient(int fd, size_t messageSize) : fd_(fd), messageSize_(messageSize) {}
  ~QORPosixPipeClient() override;
  QORPosixPipeClient(const QORPosixPipeClient&) = delete;
  QORPosixPipeClient& operator=(const QORPosixPipeClient&) = delete;

  bool Write(const void* message, uint32_t timeoutMs) override;

 private:
  void Break();

  int fd_;
  size_t messageSize_;
};
