#include "settings/QORSharedMemory.h"

QORSharedMemory::~QORSharedMemory() {
  Close();
}

bool QORSharedMemory::Create(const std::wstring& name, uint32_t size, bool probeOnly) {
  if (mapping_) return true;
  if (probeOnly) return SharedMemoryExists(name);
  size_ = size;
  // The platform gives a new block zero-filled, before any other process can open it.
  mapping_ = QORCreateSharedMemory(name, size);
  return mapping_ != nullptr;
}

bool QORSharedMemory::Close() {
  view_ = nullptr;
  mapping_.reset();
  return true;
}

void* QORSharedMemory::MapView() {
  if (mapping_) view_ = mapping_->Data();
  return view_;
}

bool SharedMemoryExists(const std::wstring& name) {
  QORNamedObjectError error = QORNamedObjectError::kNone;
  // One byte: every existing block is at least that large.
  auto block = QOROpenSharedMemory(name, 1, &error);
  return block != nullptr || error == QORNamedObjectError::kAccessDenied;
}
