#include "settings/QORPropertySetSharedMem.h"

#include <atomic>
#include <cstring>
#include <vector>

#include "common/QORTrace.h"
#include "settings/QORPropertyBinaryReader.h"

namespace {

uint32_t ReadLength(const uint8_t* view) {
  return static_cast<uint32_t>(view[0]) | static_cast<uint32_t>(view[1]) << 8 |
         static_cast<uint32_t>(view[2]) << 16 | static_cast<uint32_t>(view[3]) << 24;
}

// Volatile and fenced so that the compiler keeps every length write, in order with the data.
void WriteLength(uint8_t* view, uint32_t length) {
  std::atomic_signal_fence(std::memory_order_seq_cst);
  volatile uint8_t* field = view;
  field[0] = static_cast<uint8_t>(length);
  field[1] = static_cast<uint8_t>(length >> 8);
  field[2] = static_cast<uint8_t>(length >> 16);
  field[3] = static_cast<uint8_t>(length >> 24);
  std::atomic_signal_fence(std::memory_order_seq_cst);
}

// Whether the buffer is records up to its very end.
bool WellFormed(const std::vector<uint8_t>& bytes) {
  PropertyList records;
  return QORPropertySet::ReadRecords(bytes, records);
}

}  // namespace

QORPropertySetSharedMem::~QORPropertySetSharedMem() {
  Close();
}

void QORPropertySetSharedMem::AttachPropertySet(QORPropertySet* set) {
  set_ = set;
}

bool QORPropertySetSharedMem::Open(const std::wstring& name, uint32_t size) {
  name_.clear();
  Close();
  if (size == 0) size = kDefaultSize;
  // Smaller blocks would leave no room for the length field.
  if (size < kLengthBytes) return false;
  if (!Create(name, size, false)) return false;
  if (MapView() == nullptr) {
    Close();
    return false;
  }
  name_ = name;
  // A block guarded by another block's mutex would not be guarded at all.
  AcquireMutex(name + kMutexSuffix);
  return true;
}

std::wstring QORPropertySetSharedMem::GetName() const {
  return name_;
}

bool QORPropertySetSharedMem::IsOpen() const {
  return GetView() != nullptr;
}

bool QORPropertySetSharedMem::AcquireMutex(const std::wstring& mutexName) {
  return HoldMutex(mutexName,
                   {"QORPropertySetSharedMem", __LINE__, "QORPropertySetSharedMem::AcquireMutex"});
}

uint32_t QORPropertySetSharedMem::Load(bool merge, bool replaceExisting, bool addNew) {
  const QORTracePoint where{"QORPropertySetSharedMem", __LINE__, "QORPropertySetSharedMem::Load"};
  if (!HasMutex() && GetView() == nullptr) return kNoView;
  if (CheckLost(where)) return kLost;
  if (!LockMutex(kMutexWaitMs)) return kMutexTimeout;
  uint8_t* view = static_cast<uint8_t*>(GetView());
  if (view == nullptr || set_ == nullptr) {
    UnlockMutex();
    return kNoView;
  }
  const uint32_t length = ReadLength(view);
  if (CheckLost(where)) {
    UnlockMutex();
    return kLost;
  }
  if (length == 0) {
    UnlockMutex();
    return kOk;
  }
  if (length > Capacity()) {
    UnlockMutex();
    return kRejected;
  }
  const std::vector<uint8_t> bytes(view + kLengthBytes, view + kLengthBytes + length);
  // Cut short while reading: what was read is zeros, not the set.
  if (CheckLost(where)) {
    UnlockMutex();
    return kLost;
  }
  uint32_t code = kOk;
  if (merge) {
    if (WellFormed(bytes)) {
      set_->MergePropertiesBinary(bytes, replaceExisting, addNew);
    } else {
      code = kRejected;
    }
  } else {
    set_->ClearProperties();
    if (!set_->SetAllPropertiesBinary(bytes)) code = kRejected;
  }
  UnlockMutex();
  return code;
}

uint32_t QORPropertySetSharedMem::Save() {
  const QORTracePoint where{"QORPropertySetSharedMem", __LINE__, "QORPropertySetSharedMem::Save"};
  if (!HasMutex() && GetView() == nullptr) return kNoView;
  if (CheckLost(where)) return kLost;
  if (!LockMutex(kMutexWaitMs)) return kMutexTimeout;
  uint8_t* view = static_cast<uint8_t*>(GetView());
  if (set_ == nullptr) {
    UnlockMutex();
    return kNoView;
  }
  std::vector<uint8_t> bytes;
  set_->GetAllPropertiesBinary(bytes);
  if (bytes.size() > Capacity()) {
    UnlockMutex();
    return kTooLarge;
  }
  if (view == nullptr) {
    UnlockMutex();
    return kNoView;
  }
  // Empty while the bytes change: a writer that dies half-way leaves an empty block, not a torn
  // set.
  WriteLength(view, 0);
  if (!bytes.empty()) std::memcpy(view + kLengthBytes, bytes.data(), bytes.size());
  WriteLength(view, static_cast<uint32_t>(bytes.size()));
  UnlockMutex();
  return CheckLost(where) ? kLost : kOk;
}

uint32_t QORPropertySetSharedMem::Update(const std::function<bool(QORPropertySet&)>& change,
                                         uint32_t waitMs) {
  if (!HasMutex() && GetView() == nullptr) return kNoView;
  if (!LockMutex(waitMs)) return kMutexTimeout;
  // The mutex is recursive: Load and Save take it again without waiting.
  uint32_t code = Load(true, true, true);
  if (code == kOk || code == kRejected) {
    code = change(*set_) ? Save() : kRefused;
  }
  UnlockMutex();
  return code;
}
