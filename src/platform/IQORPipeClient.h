#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

// A writer's connection to one instance of a local named pipe (see IQORPipeServer.h).
class IQORPipeClient {
 public:
  virtual ~IQORPipeClient() = default;
  // Sends one whole message (the size given at connection). False when the reader is gone or did
  // not take the message within timeoutMs; the connection is then broken and stays so.
  virtual bool Write(const void* message, uint32_t timeoutMs) = 0;
};

// Connects to instance `instance` of the pipe name; null when that instance does not exist, is
// not accepting, or is not a pipe instance of this state root.
std::unique_ptr<IQORPipeClient> QORConnectPipe(const std::wstring& name, uint32_t instance,
                                               size_t messageSize);
