#pragma once

#include "platform/IQORSharedMemory.h"
#include "platform/posix/QORNamedObject.h"

// A shared block: the data part of a named object's file, mapped shared. The file's header records
// the size the block was created with, so that a file cut short later is told from a block created
// smaller. The mapping is watched by QORSharedMappingGuard.
class QORPosixSharedMemory : public IQORSharedMemory {
 public:
  // Where in the header the created size is kept (8 bytes, little-endian), beside the lock bytes.
  static constexpr size_t kSizeOffset = 8;

  QORPosixSharedMemory() = default;
  ~QORPosixSharedMemory() override;
  QORPosixSharedMemory(const QORPosixSharedMemory&) = delete;
  QORPosixSharedMemory& operator=(const QORPosixSharedMemory&) = delete;

  QORNamedObjectError Open(const std::wstring& name, QORNamedObject::Mode mode, size_t size,
                           bool* existed);
  void* Data() override { return data_; }
  size_t Size() const override { return size_; }
  bool IsLost() const override;

 private:
  QORNamedObject object_;
  void* mapping_ = nullptr;
  void* data_ = nullptr;
  size_t size_ = 0;
  int slot_ = -1;
};
