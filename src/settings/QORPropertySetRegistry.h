#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "platform/QORRegistryKey.h"
#include "settings/IQORPropertySetNotify.h"
#include "settings/IQORPropertySetRegistrySimpleNotify.h"
#include "settings/QORPropertySet.h"
#include "thread/QORThreadBasic.h"

// Ties a property set to one registry key: stores it as one binary value or as one value per
// property, writes the set's changes through, and watches the key on a thread of its own so that
// changes made by other processes reach the set's listeners. The watch thread fills the set while
// its owner's threads use it, so a watched set must be a QORPropertySetThreadsafe or be guarded by
// its owner. Everything but the watch thread's work runs on the owner's thread.
//
// A watch thread stuck in a listener past the stop time-out is abandoned, and may outlive this
// object: it keeps its own key handle, its notification and this object's stored-value record
// alive, and a set attached as a shared pointer too. A set attached as a plain pointer must outlive
// any watch thread. While writing through, destruction leaves the set's listeners and so waits for
// a listener call that holds the set.
class QORPropertySetRegistry : public IQORPropertySetNotify {
 public:
  QORPropertySetRegistry();
  ~QORPropertySetRegistry() override;
  QORPropertySetRegistry(const QORPropertySetRegistry&) = delete;
  QORPropertySetRegistry& operator=(const QORPropertySetRegistry&) = delete;

  // Write-through while listening.
  void OnPropertyChanged(QORPropertySet& set, const PropertyEntry& entry) override;
  bool OnPropertyChanging(QORPropertySet& set, const PropertyEntry& entry) override;

  // Not owned.
  virtual void AttachPropertySet(QORPropertySet* set);
  // Shared with the watch thread, which holds it until it ends.
  void AttachPropertySet(std::shared_ptr<QORPropertySet> set);
  // Holds its own duplicate of key (none for null or a closed key); true when a key is held.
  virtual bool SetKey(const QORRegistryKey* key);
  // Null when no key is held.
  virtual const QORRegistryKey* GetKey() const;
  // Reads a non-empty REG_BINARY value into the set: merged, or replacing the whole content.
  virtual bool LoadBinary(const std::wstring& name, bool merge, bool replaceExisting, bool addNew);
  // Writes the set as one REG_BINARY value; null name means the name of the last successful load
  // or save (and fails when there was none).
  virtual bool SaveBinary(const wchar_t* name);
  enum class UpdateResult { kSaved, kLockTimeout, kLockFailed, kRefused, kNotSaved };
  // Changes binary value name as one step among all processes that change it this way, so that
  // writers of different properties keep each other's work: takes the named mutex lockName
  // (waiting up to timeoutMs), merges the stored value into the set (replacing, and adding names
  // the set lacks only with addNew), lets change alter the set and saves it. A change that returns
  // false saves nothing (kRefused); a set changed before a failed save keeps the change.
  UpdateResult UpdateBinary(const std::wstring& lockName, uint32_t timeoutMs,
                            const std::wstring& name, bool addNew,
                            const std::function<bool(QORPropertySet&)>& change);
  // The set becomes one property per readable value of the key; true when every value was readable.
  virtual bool LoadValues();
  // Every property becomes a value of its own; true when every one was written.
  virtual bool SaveValues();
  virtual void EnableNotify(bool on);
  // Stops the watch; with on, reloads value name (merging into existing properties) at each change.
  virtual bool WatchValue(bool on, const std::wstring& name);
  // Stops the watch; with a sink, tells it of each change instead of reloading.
  virtual bool WatchWithSink(IQORPropertySetRegistrySimpleNotify* sink);

  // How long stopping the watch waits for the thread before abandoning it (0: the thread's
  // default).
  void SetStopTimeout(uint32_t timeoutMs) { stopTimeoutMs_ = timeoutMs; }
  bool IsStored() const;
  std::wstring GetBinaryValueName() const;
  // Holds off loads (the watch thread's too) while the caller changes the set and saves it, so a
  // reload of the older stored value cannot land between the change and its save and be written
  // back over it. Loads call the set's listeners while they hold this: a listener must not wait
  // for a thread that is inside such a hold.
  std::unique_lock<std::recursive_mutex> HoldLoads();

 private:
  struct State;
  class Watch;

  static bool LoadBinaryFrom(State& state, QORPropertySet* set, const QORRegistryKey& key,
                             const std::wstring& name, bool merge, bool replaceExisting,
                             bool addNew);
  bool StartWatch(const std::wstring& name, IQORPropertySetRegistrySimpleNotify* sink);
  void StopWatch();

  // What a watch thread shares with this object; it may outlive it.
  std::shared_ptr<State> state_;
  std::atomic<QORPropertySet*> set_{nullptr};
  std::shared_ptr<QORPropertySet> heldSet_;
  QORRegistryKey key_;
  std::atomic<bool> listening_{false};
  uint32_t stopTimeoutMs_ = 0;
  QORThreadBasic thread_;
};
