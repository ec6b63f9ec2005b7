#pragma once

#include <sys/types.h>

#include <atomic>

#include "platform/IQORNamedMutex.h"
#include "platform/posix/QORNamedObject.h"

// A named mutex: a robust, process-shared, recursive pthread mutex in the object's file, mapped by
// every holder. A holder that dies while owning it leaves it to the next owner as abandoned.
class QORPosixNamedMutex : public IQORNamedMutex {
 public:
  QORPosixNamedMutex() = default;
  ~QORPosixNamedMutex() override;
  QORPosixNamedMutex(const QORPosixNamedMutex&) = delete;
  QORPosixNamedMutex& operator=(const QORPosixNamedMutex&) = delete;

  // initialOwner takes a new mutex for the calling thread; an existing one is only opened.
  QORNamedObjectError Open(const std::wstring& name, QORNamedObject::Mode mode, bool initialOwner,
                           bool* existed);
  QORMutexWaitResult Wait(uint32_t timeoutMs) override;
  bool Release() override;

 public:
  struct Block;

 private:
  bool Map(int fd);
  void Unmap();
  // True once another process cut the file short (traced once).
  bool Lost();

  QORNamedObject object_;
  Block* block_ = nullptr;
  int slot_ = -1;
  std::atomic<bool> lostTraced_{false};
  // Ownership taken through this handle: the thread and its recursion depth. Written only by the
  // owning thread while it holds the mutex.
  std::atomic<pid_t> ownerThread_{0};
  std::atomic<uint32_t> depth_{0};
};
