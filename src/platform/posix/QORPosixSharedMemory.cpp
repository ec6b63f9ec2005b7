#include "platform/posix/QORPosixSharedMemory.h"

#include <sys/mman.h>
#include <sys/stat.h>

QORPosixSharedMemory::~QORPosixSharedMemory() {
  if (mapping_ != nullptr) ::munmap(mapping_, QORNamedObject::kDataOffset + size_);
}

QORNamedObjectError QORPosixSharedMemory::Open(const std::wstring& name, QORNamedObject::Mode mode,
                                               size_t size, bool* existed) {
  if (size == 0) return QORNamedObjectError::kFailed;
  const QORNamedObjectError error = object_.Open("shm", name, mode, size, nullptr, existed);
  if (error != QORNamedObjectError::kNone) return error;
  // Another process may have made it smaller; touching a page past the end would kill us.
  struct stat fileStat {};
  if (::fstat(object_.Fd(), &fileStat) != 0 ||
      static_cast<size_t>(fileStat.st_size) < QORNamedObject::kDataOffset + size) {
    object_.Close();
    return QORNamedObjectError::kFailed;
  }
  void* mapping = ::mmap(nullptr, QORNamedObject::kDataOffset + size, PROT_READ | PROT_WRITE,
                         MAP_SHARED, object_.Fd(), 0);
  if (mapping == MAP_FAILED) {
    object_.Close();
    return QORNamedObjectError::kFailed;
  }
  mapping_ = mapping;
  data_ = static_cast<char*>(mapping) + QORNamedObject::kDataOffset;
  size_ = size;
  return QORNamedObjectError::kNone;
}

std::unique_ptr<IQORSharedMemory> QORCreateSharedMemory(const std::wstring& name, size_t size,
                                                        bool* alreadyExisted) {
  auto block = std::make_unique<QORPosixSharedMemory>();
  if (block->Open(name, QORNamedObject::Mode::kCreate, size, alreadyExisted) !=
      QORNamedObjectError::kNone) {
    return nullptr;
  }
  return block;
}

std::unique_ptr<IQORSharedMemory> QOROpenSharedMemory(const std::wstring& name, size_t size,
                                                      QORNamedObjectError* error) {
  auto block = std::make_unique<QORPosixSharedMemory>();
  const QORNamedObjectError result = block->Open(name, QORNamedObject::Mode::kOpen, size, nullptr);
  if (error != nullptr) *error = result;
  if (result != QORNamedObjectError::kNone) return nullptr;
  return block;
}
