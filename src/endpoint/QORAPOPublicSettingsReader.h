#pragma once

#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "platform/IQOREvent.h"
#include "platform/QORGuid.h"
#include "platform/QORRegistryKey.h"
#include "settings/IQORPropertySetRegistrySimpleNotify.h"
#include "settings/QORAPOModeIdentity.h"
#include "settings/QORAPOOperatingMode.h"
#include "settings/QORPropertySet.h"
#include "settings/QORPropertySetRegistry.h"
#include "settings/QORUTSValueList.h"

class QORAPOEndpointInfo;

// The read-only view of one mode's public controls that a processing chain uses: reads their
// stored values and signals an event (not owned) whenever the mode's stored value changes. Other
// values of the endpoint's key (the current mode, counters) change without waking anyone, so one
// control-panel write costs the worker one rebuild, not one per watcher.
class QORAPOPublicSettingsReader : public IQORPropertySetRegistrySimpleNotify {
 public:
  static constexpr uint32_t kKeyRights = KEY_QUERY_VALUE | KEY_NOTIFY | KEY_WOW64_64KEY;

  QORAPOPublicSettingsReader();
  ~QORAPOPublicSettingsReader() override;
  QORAPOPublicSettingsReader(const QORAPOPublicSettingsReader&) = delete;
  QORAPOPublicSettingsReader& operator=(const QORAPOPublicSettingsReader&) = delete;

  // Signals the change event when one is set and the mode's value differs from what was last seen
  // (on the watch thread).
  void OnRegistryChanged(QORPropertySetRegistry& source) override;
  // Opens the mode's value of the endpoint's existing key and, with a change event, watches the
  // key. Opening again for the same endpoint and mode keeps the key and only takes the new event
  // (starting the watch if none ran). False when the key does not exist.
  virtual bool Open(const QORAPOEndpointInfo& endpoint, const QORAPOOperatingMode& mode,
                    IQOREvent* changeEvent);
  // Stops watching, closes the key and forgets the defaults.
  virtual void Close();
  // out becomes the mode's public controls with their stored values (stored names the mode does
  // not declare are ignored). False, with out empty, when not open or no readable value is
  // stored.
  virtual bool Read(QORUTSValueList& out);

  bool IsOpen() const { return open_; }

 private:
  void StopWatch();
  // The mode's stored value as its type followed by its bytes; empty when it is not stored.
  std::vector<uint8_t> StoredBytes() const;

  // The watch thread signals the event under this lock, so that once Open has replaced it the
  // caller may destroy the old one.
  std::mutex eventLock_;
  IQOREvent* changeEvent_ = nullptr;
  std::vector<uint8_t> seen_;  // the mode's value when last looked at, under eventLock_
  QORPropertySet set_;
  QORPropertySetRegistry registry_;
  std::wstring path_;
  std::wstring valueName_;
  QORRegistryKey key_;
  GUID endpointGuid_ = GUID_NULL;
  std::wstring endpointText_;
  QORAPOModeIdentity mode_;
  QORUTSValueList defaults_;
  bool open_ = false;
  bool watching_ = false;
};
