#include "settings/QORSharedMemory.h"

#include <atomic>
#include <cstdint>

#include "common/QORTextConvert.h"

QORSharedMemory::~QORSharedMemory() {
  Close();
}

bool QORSharedMemory::Create(const std::wstring& name, uint32_t size, bool probeOnly) {
  if (mapping_) return true;
  if (probeOnly) return SharedMemoryExists(name);
  size_ = size;
  // The platform gives a new block zero-filled, before any other process can open it.
  mapping_ = QORCreateSharedMemory(name, size);
  name_ = name;
  lostReported_ = false;
  return mapping_ != nullptr;
}

bool QORSharedMemory::Close() {
  view_ = nullptr;
  mapping_.reset();
  return true;
}

namespace {

// Blocks already said to be lost in this process, by a hash of their name: every object of the
// process holding the block finds it lost, but the log hears of it once. Lock-free, for the
// real-time path.
std::atomic<uint64_t> saidLost[64];

bool FirstToSayLost(const std::wstring& name) {
  uint64_t hash = 0xcbf29ce484222325ull;
  for (const wchar_t c : name) {
    hash ^= static_cast<uint64_t>(c);
    hash *= 0x100000001b3ull;
  }
  hash |= 1;  // never 0, which marks a free entry
  for (std::atomic<uint64_t>& entry : saidLost) {
    uint64_t seen = entry.load();
    if (seen == hash) return false;
    if (seen == 0 && (entry.compare_exchange_strong(seen, hash) || seen == hash)) {
      return seen == 0;
    }
  }
  return true;
}

}  // namespace

bool QORSharedMemory::CheckLost(const QORTracePoint& where) {
  if (!IsLost()) return false;
  if (!lostReported_) {
    lostReported_ = true;
    if (FirstToSayLost(name_)) {
      QORTrace(where, "%s: another process cut the shared block short; its content is gone\n",
               QORWideToUtf8(name_).c_str());
    }
  }
  return true;
}

void* QORSharedMemory::MapView() {
  if (mapping_) view_ = mapping_->Data();
  return view_;
}

bool SharedMemoryExists(const std::wstring& name) {
  const QORNamedObjectError error = ProbeSharedMemory(name);
  return error == QORNamedObjectError::kNone || error == QORNamedObjectError::kAccessDenied;
}

QORNamedObjectError ProbeSharedMemory(const std::wstring& name) {
  QORNamedObjectError error = QORNamedObjectError::kNone;
  // One byte: every existing block is at least that large.
  QOROpenSharedMemory(name, 1, &error);
  return error;
}

bool QORSharedMemory::HoldMutex(const std::wstring& name, const QORTracePoint& where) {
  if (mutex_ && mutexName_ == name) return true;
  mutex_.reset();
  mutexName_.clear();
  mutex_ = QORCreateNamedMutex(name, false);
  if (!mutex_) {
    QORNamedObjectError error = QORNamedObjectError::kNone;
    mutex_ = QOROpenNamedMutex(name, &error);
    if (error == QORNamedObjectError::kAccessDenied) {
      QORTrace(where, "Access denied acquiring mutex during create.\n");
    }
  }
  if (mutex_) mutexName_ = name;
  return mutex_ != nullptr;
}

bool QORSharedMemory::LockMutex(uint32_t waitMs) {
  if (!mutex_) return false;
  QORMutexWaitResult result = mutex_->Wait(0);
  if (result == QORMutexWaitResult::kTimeout && waitMs != 0) result = mutex_->Wait(waitMs);
  return result == QORMutexWaitResult::kAcquired || result == QORMutexWaitResult::kAbandoned;
}

void QORSharedMemory::UnlockMutex() {
  if (mutex_) mutex_->Release();
}
