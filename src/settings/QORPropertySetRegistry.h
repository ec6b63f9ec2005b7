#pragma once

#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "platform/QORRegistryKey.h"
#include "platform/QORRegistryWatch.h"
#include "settings/IQORPropertySetNotify.h"
#include "settings/IQORPropertySetRegistrySimpleNotify.h"
#include "settings/QORPropertySet.h"
#include "thread/IQORThreadBasicWorker.h"
#include "thread/QORThreadBasic.h"

// Ties a property set (not owned) to one registry key: stores it as one binary value or as one
// value per property, writes the set's changes through, and watches the key on a thread of its own
// so that changes made by other processes reach the set's listeners. The watch thread fills the
// set while its owner's threads use it, so a watched set must be a QORPropertySetThreadsafe or be
// guarded by its owner. Everything but the watch thread's work runs on the owner's thread.
class QORPropertySetRegistry : public IQORPropertySetNotify, public IQORThreadBasicWorker {
 public:
  QORPropertySetRegistry();
  ~QORPropertySetRegistry() override;
  QORPropertySetRegistry(const QORPropertySetRegistry&) = delete;
  QORPropertySetRegistry& operator=(const QORPropertySetRegistry&) = delete;

  // Write-through while listening.
  void OnPropertyChanged(QORPropertySet& set, const PropertyEntry& entry) override;
  bool OnPropertyChanging(QORPropertySet& set, const PropertyEntry& entry) override;

  virtual void AttachPropertySet(QORPropertySet* set);
  // Holds its own duplicate of key (none for null or a closed key); true when a key is held.
  virtual bool SetKey(const QORRegistryKey* key);
  // Null when no key is held.
  virtual const QORRegistryKey* GetKey() const;
  // Reads a non-empty REG_BINARY value into the set: merged, or replacing the whole content.
  virtual bool LoadBinary(const std::wstring& name, bool merge, bool replaceExisting, bool addNew);
  // Writes the set as one REG_BINARY value; null name means the name of the last successful load
  // or save (and fails when there was none).
  virtual bool SaveBinary(const wchar_t* name);
  // The set becomes one property per readable value of the key; true when every value was readable.
  virtual bool LoadValues();
  // Every property becomes a value of its own; true when every one was written.
  virtual bool SaveValues();
  virtual void EnableNotify(bool on);
  // Stops the watch; with on, reloads value name (merging into existing properties) at each change.
  virtual bool WatchValue(bool on, const std::wstring& name);
  // Stops the watch; with a sink, tells it of each change instead of reloading.
  virtual bool WatchWithSink(IQORPropertySetRegistrySimpleNotify* sink);

  bool IsStored() const;
  std::wstring GetBinaryValueName() const;

  // The watch loop, run by the worker thread.
  bool DoWork(QORThreadBasic& thread, IQOREvent& stopEvent) override;

 private:
  bool LoadBinaryFrom(const QORRegistryKey& key, const std::wstring& name, bool merge,
                      bool replaceExisting, bool addNew);
  void RememberStored(const std::wstring& name);
  bool StartWatch();
  void StopWatch();

  std::atomic<QORPropertySet*> set_{nullptr};
  // Guards the stored flag and the binary value name, which the watch thread's loads update.
  mutable std::mutex storedLock_;
  bool stored_ = false;
  std::wstring binaryName_;
  QORRegistryKey key_;
  std::atomic<bool> listening_{false};
  // The thread whose load is filling the set: its changes came from the registry and are not
  // written back.
  std::atomic<std::thread::id> loadingThread_{};
  // Set before the thread starts and read only by it while it runs.
  std::wstring watchedName_;
  IQORPropertySetRegistrySimpleNotify* sink_ = nullptr;
  QORRegistryKey watchKey_;
  std::unique_ptr<QORRegistryWatch> watch_;
  QORThreadBasic thread_;
};
