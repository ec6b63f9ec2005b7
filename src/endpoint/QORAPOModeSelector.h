#pragma once

#include <cstdint>
#include <memory>

#include "platform/QORRegistryKey.h"
#include "settings/IQORAPOModeSelectorNotify.h"
#include "settings/QORAPOModeIdentity.h"
#include "settings/QORPropertySetRegistry.h"
#include "settings/QORPropertySetRelay.h"

class QORAPOEndpointInfo;

// The current operating mode of one endpoint, kept in the value "QorApoCurrOpMode" under the
// endpoint's registry key (the two identity controls as 8-bit text in the stored binary form), so
// that a control application can switch modes and the choice survives restarts. Changes made by
// other processes reach a listener from the registry watch thread.
class QORAPOModeSelector {
 public:
  static constexpr wchar_t kValueName[] = L"QorApoCurrOpMode";
  static constexpr uint32_t kKeyRights =
      KEY_QUERY_VALUE | KEY_SET_VALUE | KEY_NOTIFY | KEY_WOW64_64KEY;

  QORAPOModeSelector();
  virtual ~QORAPOModeSelector();
  QORAPOModeSelector(const QORAPOModeSelector&) = delete;
  QORAPOModeSelector& operator=(const QORAPOModeSelector&) = delete;

  // Opens the endpoint's existing key and loads the stored mode over defaultMode. False when the
  // key does not exist: the default is then held but not stored.
  virtual bool Init(const QORAPOEndpointInfo& endpoint, const QORAPOModeIdentity& defaultMode);
  // Holds the mode and stores it; false when no key is open or the write failed.
  virtual bool SetMode(const QORAPOModeIdentity& mode);
  // out becomes the stored mode (a missing half reads as its default); without a readable stored
  // value, the mode held. True only when a stored value was read and names a valid mode.
  virtual bool GetMode(QORAPOModeIdentity& out);
  // Sets (null: clears) the listener and starts or stops watching the key. The listener hears
  // each changed half of the mode, on the watch thread for changes made elsewhere and on the
  // caller's thread for this object's own writes; it must not call SetNotify from that call.
  virtual bool SetNotify(IQORAPOModeSelectorNotify* listener);
  // Deletes the stored value; true when the registry reports success.
  virtual bool DeleteValue();

  // How long destruction and SetNotify wait for a watch thread stuck in the listener before
  // abandoning it (0: the thread's default).
  void SetStopTimeout(uint32_t timeoutMs) { registry_.SetStopTimeout(timeoutMs); }

 private:
  void HoldMode(const QORAPOModeIdentity& mode);

  // The mode set and the listener, shared with the watch thread so that an abandoned one never
  // reaches freed memory.
  std::shared_ptr<QORPropertySetRelay> core_;
  QORRegistryKey key_;
  QORPropertySetRegistry registry_;
};
