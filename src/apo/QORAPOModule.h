#pragma once

#include <atomic>
#include <cstdint>

#include "platform/IClassFactory.h"
#include "platform/QORGuid.h"

// The module's process-wide state: its lock count (live objects and LockServer calls), the
// BypassCount value read when it loads, and the class table its factories serve.
class QORAPOModule {
 public:
  static constexpr uint32_t kDefaultBypassCount = 12;
  static constexpr uint32_t kBypassCountLimit = 13;

  static void Lock() { locks_.fetch_add(1, std::memory_order_relaxed); }
  static void Unlock() { locks_.fetch_sub(1, std::memory_order_acq_rel); }
  static int32_t GetLockCount() { return locks_.load(std::memory_order_acquire); }

  // HKLM "Software\KEL\KEL Sonora", "BypassCount": a REG_DWORD below 13, else 12. Load reads it
  // once per process, when the module is first used (its first factory or object), so that the
  // period path never reads the registry; ReadBypassCount reads it again (tests).
  static void Load();
  static uint32_t GetBypassCount() { return bypassCount_.load(std::memory_order_relaxed); }
  static void ReadBypassCount();

  // The factory of a class of the table (a reference for the caller); CLASS_E_CLASSNOTAVAILABLE
  // for any other CLSID.
  static HRESULT GetClassObject(REFCLSID clsid, REFIID iid, void** object);
  static HRESULT CanUnloadNow();

 private:
  static std::atomic<int32_t> locks_;
  static std::atomic<uint32_t> bypassCount_;
};
