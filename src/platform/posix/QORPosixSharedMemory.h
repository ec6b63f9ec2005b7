#pragma once

#include "platform/IQORSharedMemory.h"
#include "platform/posix/QORNamedObject.h"

// A shared block: the data part of a named object's file, mapped shared.
class QORPosixSharedMemory : public IQORSharedMemory {
 public:
  QORPosixSharedMemory() = default;
  ~QORPosixSharedMemory() override;
  QORPosixSharedMemory(const QORPosixSharedMemory&) = delete;
  QORPosixSharedMemory& operator=(const QORPosixSharedMemory&) = delete;

  QORNamedObjectError Open(const std::wstring& name, QORNamedObject::Mode mode, size_t size,
                           bool* existed);
  void* Data() override { return data_; }
  size_t Size() const override { return size_; }

 private:
  QORNamedObject object_;
  void* mapping_ = nullptr;
  void* data_ = nullptr;
  size_t size_ = 0;
};
