#include "platform/posix/QORPosixSharedMemory.h"

#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>

#include "common/QORTrace.h"
#include "platform/posix/QORSharedMappingGuard.h"

namespace {

bool WriteCreatedSize(int fd, size_t size) {
  uint8_t bytes[8];
  for (int i = 0; i < 8; ++i) bytes[i] = static_cast<uint8_t>(static_cast<uint64_t>(size) >> 8 * i);
  return ::pwrite(fd, bytes, sizeof(bytes), QORPosixSharedMemory::kSizeOffset) ==
         static_cast<ssize_t>(sizeof(bytes));
}

// The size the block was created with; 0 when the header is gone.
uint64_t ReadCreatedSize(int fd) {
  uint8_t bytes[8];
  if (::pread(fd, bytes, sizeof(bytes), QORPosixSharedMemory::kSizeOffset) !=
      static_cast<ssize_t>(sizeof(bytes))) {
    return 0;
  }
  uint64_t size = 0;
  for (int i = 0; i < 8; ++i) size |= static_cast<uint64_t>(bytes[i]) << 8 * i;
  return size;
}

}  // namespace

QORPosixSharedMemory::~QORPosixSharedMemory() {
  QORSharedMappingGuard::Forget(slot_);
  if (mapping_ != nullptr) ::munmap(mapping_, QORNamedObject::kDataOffset + size_);
}

bool QORPosixSharedMemory::IsLost() const {
  return QORSharedMappingGuard::IsLost(slot_);
}

QORNamedObjectError QORPosixSharedMemory::Open(const std::wstring& name, QORNamedObject::Mode mode,
                                               size_t size, bool* existed) {
  if (size == 0) return QORNamedObjectError::kFailed;
  auto recordSize = [size](int fd, int, const std::string&) { return WriteCreatedSize(fd, size); };
  const QORNamedObjectError error = object_.Open("shm", name, mode, size, recordSize, existed);
  if (error != QORNamedObjectError::kNone) return error;
  // Another process may have cut the file short; touching a page past its end would fault.
  struct stat fileStat {};
  const uint64_t created = ReadCreatedSize(object_.Fd());
  if (::fstat(object_.Fd(), &fileStat) != 0) {
    object_.Close();
    return QORNamedObjectError::kFailed;
  }
  const size_t fileSize = static_cast<size_t>(fileStat.st_size);
  if (created == 0 || fileSize < QORNamedObject::kDataOffset + created) {
    object_.Close();
    return QORNamedObjectError::kTruncated;
  }
  if (created < size) {
    object_.Close();
    return QORNamedObjectError::kFailed;
  }
  void* mapping = ::mmap(nullptr, QORNamedObject::kDataOffset + size, PROT_READ | PROT_WRITE,
                         MAP_SHARED, object_.Fd(), 0);
  if (mapping == MAP_FAILED) {
    object_.Close();
    return QORNamedObjectError::kFailed;
  }
  // Watched before anything touches it: the file may be cut short from here on.
  const int slot = QORSharedMappingGuard::Watch(mapping, QORNamedObject::kDataOffset + size);
  if (slot < 0) {
    QORTrace({"QORPosixSharedMemory", __LINE__, "QORPosixSharedMemory::Open"},
             "too many shared mappings in this process; refusing another\n");
    ::munmap(mapping, QORNamedObject::kDataOffset + size);
    object_.Close();
    return QORNamedObjectError::kFailed;
  }
  mapping_ = mapping;
  slot_ = slot;
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

bool QORSharedMemoryInTheWay(const std::wstring& name, std::string* what, std::string* path) {
  return QORNamedObject::FindInTheWay("shm", name, what, path);
}
