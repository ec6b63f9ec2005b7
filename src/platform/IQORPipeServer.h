#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "platform/IQORNamedMutex.h"
#include "platform/IQORWaitable.h"

enum class QORPipeResult {
  kDone,     // connected, or one whole message read
  kPending,  // nothing to take yet; wait on the instance
  kClosed,   // the writer went away or broke the stream; the instance is disconnected
};

// A reader's instance of a local named pipe. A name has at most kQORPipeMaxInstances instances,
// numbered from 0; each serves one writer at a time, which sends fixed-size messages. Nothing here
// blocks: the instance is a waitable that fires when a writer connects and when data arrives, so a
// reader thread waits on it together with its stop event.
class IQORPipeServer : public IQORWaitable {
 public:
  // Takes a waiting writer. kDone when connected (also when it already was), else kPending.
  virtual QORPipeResult Connect() = 0;
  // Reads the next whole message into message (messageSize bytes of room). kDone: *size is the
  // message size. kPending: no whole message yet. kClosed: the writer is gone; *size counts the
  // bytes of an unfinished last message (copied to message), 0 when there was none.
  virtual QORPipeResult Read(void* message, size_t* size) = 0;
  // Drops the writer, if any; the instance waits for the next one.
  virtual void Disconnect() = 0;
  virtual bool IsConnected() const = 0;
  // Which of the name's instances this is.
  virtual uint32_t GetIndex() const = 0;
};

constexpr uint32_t kQORPipeMaxInstances = 5;

// Creates the first free instance of the pipe name (e.g. L"\\\\.\\pipe\\Name"). Null when every
// instance is taken (error kBusy) or on failure; never waits for an instance to become free.
std::unique_ptr<IQORPipeServer> QORCreatePipeServer(const std::wstring& name, size_t messageSize,
                                                    QORNamedObjectError* error = nullptr);
