#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "platform/IQORNamedMutex.h"
#include "settings/QORPropertySet.h"
#include "settings/QORSharedMemory.h"

// Keeps a property set (not owned) in a shared block in its stored binary form, so that every
// process sees the same values. Processes serialise on a named mutex, the block's name + "_MuteX".
//
// Block layout (little-endian): bytes 0..3 the length L of the stored set (0: empty), then L
// bytes of the set; the rest is unused. At most size - 4 bytes of set fit.
//
// Load and Save answer 0 or one of the codes below. A mutex left by a holder that died counts as
// obtained; what it left in the block is checked like any other content. For one thread at a time;
// the owner guards the attached set.
class QORPropertySetSharedMem : public QORSharedMemory {
 public:
  static constexpr uint32_t kOk = 0;
  // No view is mapped, or no set is attached.
  static constexpr uint32_t kNoView = 0xF0000000;
  // The mutex was not obtained within kMutexWaitMs.
  static constexpr uint32_t kMutexTimeout = 0xF0000001;
  // Save: the set's binary form is larger than size - 4; the block is left as it was.
  static constexpr uint32_t kTooLarge = 0xF0000002;
  // Load: the stored data is not a well-formed set. Also returned, without reading, when L is
  // larger than size - 4 (a damaged writer, or one that opened the block with a larger size).
  static constexpr uint32_t kRejected = 0xF0000003;
  // Update: the change refused; the block is left as it was.
  static constexpr uint32_t kRefused = 0xF0000004;
  // Another process cut the block short: its content is gone and nothing was read or written.
  static constexpr uint32_t kLost = 0xF0000005;

  static constexpr uint32_t kDefaultSize = 65536;
  static constexpr uint32_t kLengthBytes = 4;
  static constexpr uint32_t kMutexWaitMs = 500;
  // How long Update waits for another process's update of the same block.
  static constexpr uint32_t kUpdateWaitMs = 5000;
  static constexpr wchar_t kMutexSuffix[] = L"_MuteX";

  QORPropertySetSharedMem() = default;
  ~QORPropertySetSharedMem() override;

  virtual void AttachPropertySet(QORPropertySet* set);
  // Creates or opens the block (size 0 means kDefaultSize; below kLengthBytes fails; see
  // QORSharedMemory for an existing block of another size) and its mutex. The mutex is kept across
  // Close and reopening the same name; opening another name takes that name's mutex instead. A
  // mutex that cannot be had does not fail Open; Load and Save then answer kMutexTimeout.
  virtual bool Open(const std::wstring& name, uint32_t size);
  // The name of the last successful Open.
  virtual std::wstring GetName() const;
  virtual bool IsOpen() const;
  // Reads the block into the set. Without merge the set is cleared and refilled: on kRejected it
  // keeps the records read before the malformed one. With merge the stored entries go through the
  // set's MergeProperties, all or nothing: a malformed block merges nothing. L = 0 changes nothing.
  // An L too large for the block returns kRejected with the set untouched.
  virtual uint32_t Load(bool merge, bool replaceExisting, bool addNew);
  // Writes the set into the block. Entries without a binary form are left out. L reads 0 while
  // the bytes change, so a writer that dies half-way leaves an empty block.
  virtual uint32_t Save();
  // Changes the block as one step among processes, so that writers of different entries keep each
  // other's work: under the mutex (waited for up to waitMs) the block is merged into the set
  // (replacing and adding entries; a malformed block merges nothing and is overwritten), change
  // alters the set and the set is saved. kRefused when change returns false.
  virtual uint32_t Update(const std::function<bool(QORPropertySet&)>& change,
                          uint32_t waitMs = kUpdateWaitMs);

  // Creates or opens the named mutex; true when a handle is held.
  bool AcquireMutex(const std::wstring& mutexName);

 private:
  // Bytes of set that fit.
  uint32_t Capacity() const { return GetSize() < kLengthBytes ? 0 : GetSize() - kLengthBytes; }

  QORPropertySet* set_ = nullptr;
  std::wstring name_;
};
