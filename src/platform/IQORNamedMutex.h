#pragma once

#include <cstdint>
#include <memory>
#include <string>

enum class QORMutexWaitResult { kAcquired, kAbandoned, kTimeout, kFailed };
// kBusy: another process kept creating or removing an object of that name for longer than an open
// waits (about a second), e.g. because it was stopped there. kTruncated: the object exists but
// another process cut its file short, so its content is gone for every holder. kInTheWay:
// something that is no named object (a FIFO, a folder, a link, a socket, a device) stands at the
// object's name; nothing can create or open the object until it is removed.
enum class QORNamedObjectError {
  kNone,
  kNotFound,
  kAccessDenied,
  kFailed,
  kBusy,
  kTruncated,
  kInTheWay
};

// A cross-process mutex. It exists while some process holds a handle to it and disappears when the
// last holder closes it or dies. A holder that dies while owning it does not block the next owner:
// that owner gets kAbandoned and owns it. Recursive for the owning thread, as on the platform
// the host was designed for.
class IQORNamedMutex {
 public:
  virtual ~IQORNamedMutex() = default;
  // timeoutMs 0 only tries; kQORInfinite (IQORWaitable.h) waits without limit.
  virtual QORMutexWaitResult Wait(uint32_t timeoutMs) = 0;
  virtual bool Release() = 0;
};

// Creates the mutex or opens an existing one (initialOwner then has no effect, as on the platform
// the host was designed for). Null on failure, including an existing mutex this process may not
// open.
std::unique_ptr<IQORNamedMutex> QORCreateNamedMutex(const std::wstring& name, bool initialOwner,
                                                    bool* alreadyExisted = nullptr);
// Opens an existing named mutex. Null when it cannot be opened; error says why (kNotFound when no
// process holds it, kAccessDenied when it exists but this process may not open it).
std::unique_ptr<IQORNamedMutex> QOROpenNamedMutex(const std::wstring& name,
                                                  QORNamedObjectError* error = nullptr);
// Whether something that is no mutex stands at the mutex's name (what kInTheWay found): what it
// is ("a FIFO", "a folder", "a symbolic link", "a socket", "a device") and its full path. It is
// looked at, never opened, so the check cannot block.
bool QORNamedMutexInTheWay(const std::wstring& name, std::string* what, std::string* path);
