#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "platform/QORCriticalSection.h"
#include "platform/QORRegistryKey.h"
#include "settings/IQORAPOPublicSettingsNotify.h"
#include "settings/QORAPOOperatingMode.h"
#include "settings/QORPropertySet.h"
#include "settings/QORPropertySetRegistry.h"
#include "settings/QORPropertySetRelay.h"
#include "settings/QORUTSValue.h"
#include "settings/QORUTSValueList.h"

class QORAPOEndpointInfo;

// The public controls of one operating mode: values a control application may change while audio
// runs, kept under the endpoint's registry key as one binary value named after the mode identity
// ("ApoOpMode:<mode>/<speaker type>"), seeded with the configuration's values. Changes made by
// other processes reach a listener from the registry watch thread.
class QORAPOPublicSettings {
 public:
  static constexpr uint32_t kKeyRights =
      KEY_QUERY_VALUE | KEY_SET_VALUE | KEY_NOTIFY | KEY_WOW64_64KEY;
  // How long a write waits for another process's write of the same stored value.
  static constexpr uint32_t kWriteLockWaitMs = 5000;

  QORAPOPublicSettings();
  virtual ~QORAPOPublicSettings();
  QORAPOPublicSettings(const QORAPOPublicSettings&) = delete;
  QORAPOPublicSettings& operator=(const QORAPOPublicSettings&) = delete;

  // Stops any watch, seeds the set with the mode's public controls and opens the endpoint's
  // existing key; stored values then replace the seeds of the controls the mode declares public
  // (other stored names are ignored). False when the key does not exist.
  virtual bool Init(const QORAPOEndpointInfo& endpoint, const QORAPOOperatingMode& mode);
  // The writes below change the stored value as one step among processes: under a named mutex of
  // the endpoint's key and value (see WriteLockName), they merge in what is stored, change the set
  // and store it, so writers of different controls keep each other's work. A write that cannot
  // have the mutex fails and WriteError() says so.
  //
  // Writes one control the set already holds and stores the set. A control without text has no
  // stored form and is refused.
  virtual bool WriteControl(const QORUTSValue& control);
  // Writes the controls (adding new names) and stores the set; controls without text are left
  // out and make the result false.
  virtual bool WriteControls(const QORUTSValueList& controls);
  // Copies the mode's list of all controls into its mirror set, then stores the public set.
  virtual bool SaveAllControls();
  // Reloads the stored value and carries the set into out (every control into an empty list,
  // else only those out already holds). False without a key or a readable stored value.
  virtual bool ReadControls(QORUTSValueList& out, bool clear);
  // Reloads the stored value; out becomes the mode's list of all controls.
  virtual bool ReadAllControls(QORUTSValueList& out, bool clear);
  // Sets (null: clears) the listener and starts or stops watching the key. The listener hears
  // each changed control, on the watch thread for changes made elsewhere and on the caller's
  // thread for this object's own writes; it must not call SetNotify from that call.
  virtual bool SetNotify(IQORAPOPublicSettingsNotify* listener);
  // Deletes the stored value; true when the registry reports success.
  virtual bool DeleteValue();
  // Why the last write failed, in words; empty after a successful one.
  std::string WriteError() const;

  // The named mutex that writers of value valueName under the endpoint key keyPath share. Key and
  // value names compare without regard to case, so the name does too.
  static std::wstring WriteLockName(const std::wstring& keyPath, const std::wstring& valueName);

  // How long destruction and SetNotify wait for a watch thread stuck in the listener before
  // abandoning it (0: the thread's default).
  void SetStopTimeout(uint32_t timeoutMs) { registry_.SetStopTimeout(timeoutMs); }

 protected:
  QORPropertySet& PublicSet();
  // Closes the key held and opens the endpoint's; false when it does not exist.
  bool OpenKey(const QORAPOEndpointInfo& endpoint);
  // Stores the set after change, as one step among processes (see above); call with the lock.
  bool Update(const std::function<bool(QORPropertySet&)>& change);

  // The public set and the listener, shared with the watch thread so that an abandoned one never
  // reaches freed memory.
  std::shared_ptr<QORPropertySetRelay> core_;
  QORPropertySet allControlsSet_;
  std::wstring valueName_;
  QORUTSValueList allControls_;
  // Guards the sets, the list, the value name and the key.
  mutable QORCriticalSection settingsLock_;
  QORRegistryKey key_;
  std::wstring keyPath_;
  // Whether stored names the set does not hold are taken in (global switches) or ignored.
  bool addStoredNames_ = false;
  std::string writeError_;
  QORPropertySetRegistry registry_;
};
