#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "common/QORTrace.h"
#include "platform/IQORNamedMutex.h"
#include "platform/IQORSharedMemory.h"

// A named block of memory that every process taking part in audio may open, created zero-filled by
// whichever process comes first and kept while any process holds it. Base of the shared-memory
// property set and the shared meters.
//
// Sizes: a block keeps the size it was created with. Create with a size no larger than that opens
// it and works on its first size bytes; a larger size fails, since the view would reach past the
// block.
class QORSharedMemory {
 public:
  QORSharedMemory() = default;
  QORSharedMemory(const QORSharedMemory&) = delete;
  QORSharedMemory& operator=(const QORSharedMemory&) = delete;
  virtual ~QORSharedMemory();

  // Creates or opens the block unless one is held already (then nothing changes). With probeOnly
  // nothing is created or kept: the answer is whether a block of that name exists. Otherwise the
  // answer is whether a block is held.
  virtual bool Create(const std::wstring& name, uint32_t size, bool probeOnly);
  // Drops the view and the block; always true.
  virtual bool Close();

  // The whole block, for reading and writing; null when none is held.
  void* MapView();
  void* GetView() const { return view_; }
  // The size asked for by the Create that holds the block.
  uint32_t GetSize() const { return size_; }
  // True once another process cut the held block short: its content is gone for every holder and
  // the view shows private zeros from then on.
  bool IsLost() const { return mapping_ != nullptr && mapping_->IsLost(); }

 protected:
  // The named mutex that guards the block, created or opened under name; one already held under
  // that name is kept (also across Close), another is let go first. where names the caller in the
  // trace line of a mutex that may not be opened. True when a mutex is held.
  bool HoldMutex(const std::wstring& name, const QORTracePoint& where);
  bool HasMutex() const { return mutex_ != nullptr; }
  // Takes the mutex: a try first, which also takes over a mutex whose holder died; only a mutex
  // held by a live process is waited for, up to waitMs (0: never wait).
  bool LockMutex(uint32_t waitMs);
  void UnlockMutex();
  // IsLost, saying so once per block in the trace log, from where.
  bool CheckLost(const QORTracePoint& where);

 private:
  std::unique_ptr<IQORSharedMemory> mapping_;
  std::unique_ptr<IQORNamedMutex> mutex_;
  std::wstring mutexName_;
  std::wstring name_;
  bool lostReported_ = false;
  uint32_t size_ = 0;
  void* view_ = nullptr;
};

// Whether some process holds a usable block of that name. Never creates one, so a probe leaves
// nothing behind and cannot race a creator into a block of the wrong size.
bool SharedMemoryExists(const std::wstring& name);
// The same probe, telling why not: kNone (held), kNotFound, kAccessDenied, or kTruncated for a
// block that another process cut short while it is still held.
QORNamedObjectError ProbeSharedMemory(const std::wstring& name);
