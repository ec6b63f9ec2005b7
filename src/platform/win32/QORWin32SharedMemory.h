#pragma once

#include <cstddef>

#include "platform/IQORSharedMemory.h"
#include "platform/win32/QORWin32Handle.h"

// A named file mapping on the paging file, which the system fills with zeros when it is made. No
// other process can cut such a block short, so it is never lost.
class QORWin32SharedMemory : public IQORSharedMemory {
 public:
  QORWin32SharedMemory() = default;
  ~QORWin32SharedMemory() override;
  QORWin32SharedMemory(const QORWin32SharedMemory&) = delete;
  QORWin32SharedMemory& operator=(const QORWin32SharedMemory&) = delete;

  // Maps the whole block behind mapping (taken) if it holds at least size bytes.
  QORNamedObjectError Map(HANDLE mapping, size_t size);
  void* Data() override { return view_; }
  size_t Size() const override { return size_; }
  bool IsLost() const override { return false; }

 private:
  QORWin32Handle mapping_;
  void* view_ = nullptr;
  size_t size_ = 0;
};
