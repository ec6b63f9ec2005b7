#pragma once

#include <cstddef>
#include <memory>
#include <string>

#include "platform/IQORNamedMutex.h"

// A named block of memory shared between processes, mapped read-write. It exists while some
// process holds a handle; a new block is zero-filled.
//
// Another process may cut the block short under a holder. Touching it then does not kill the
// holder: Data() turns into private zeros that no other process sees, and IsLost() tells.
class IQORSharedMemory {
 public:
  virtual ~IQORSharedMemory() = default;
  virtual void* Data() = 0;
  virtual size_t Size() const = 0;
  // True once the block was found cut short; cheap enough for every period.
  virtual bool IsLost() const = 0;
};

// Creates the block or opens an existing one (alreadyExisted tells). An existing block smaller than
// size, or cut short, is refused rather than mapped past its end. Null on failure.
std::unique_ptr<IQORSharedMemory> QORCreateSharedMemory(const std::wstring& name, size_t size,
                                                        bool* alreadyExisted = nullptr);
// Opens an existing block of at least size bytes; error says why not (kNotFound, kAccessDenied,
// kTruncated for a block another process cut short, kFailed for one created smaller, kInTheWay
// for something that is no block at its name).
std::unique_ptr<IQORSharedMemory> QOROpenSharedMemory(const std::wstring& name, size_t size,
                                                      QORNamedObjectError* error = nullptr);
// Whether something that is no block stands at the block's name, as QORNamedMutexInTheWay.
bool QORSharedMemoryInTheWay(const std::wstring& name, std::string* what, std::string* path);
