#include "endpoint/QORAPOModeSelector.h"

#include <atomic>

#include "endpoint/QORAPOEndpointInfo.h"
#include "platform/QORCriticalSection.h"
#include "settings/QORAPOConfigurationReader.h"
#include "settings/QORPropertyControls.h"
#include "settings/QORPropertySetThreadsafe.h"

// The set the watch thread fills, and the forwarding of its changes to the listener. It is the
// set's listener for its whole life, so registering never nests the set's lock inside the
// listener lock (the watch thread takes them the other way round).
class QORAPOModeSelector::Core : public IQORPropertySetNotify {
 public:
  Core() { set.AddNotify(this); }

  void OnPropertyChanged(QORPropertySet&, const PropertyEntry& entry) override {
    QORUTSValue control;
    if (!QORPropertyControls::ToControl(entry, control)) return;
    QORCriticalSectionLock hold(listenerLock);
    if (!closed.load() && listener != nullptr) listener->OnModeSelectorChanged();
  }
  bool OnPropertyChanging(QORPropertySet&, const PropertyEntry&) override { return false; }

  QORPropertySetThreadsafe set;
  QORCriticalSection listenerLock;
  IQORAPOModeSelectorNotify* listener = nullptr;
  // Set when the owner goes: a thread it abandoned calls nobody any more.
  std::atomic<bool> closed{false};
};

QORAPOModeSelector::QORAPOModeSelector() : core_(std::make_shared<Core>()) {
  registry_.AttachPropertySet(std::shared_ptr<QORPropertySet>(core_, &core_->set));
}

QORAPOModeSelector::~QORAPOModeSelector() {
  // Not under the listener lock: a listener call that never returns must not hold this up.
  core_->closed.store(true);
  registry_.WatchValue(false, kValueName);
}

void QORAPOModeSelector::HoldMode(const QORAPOModeIdentity& mode) {
  for (const QORUTSValue* half : {&mode.GetMode(), &mode.GetSpeakerType()}) {
    core_->set.SetProperty(half->GetNameWide(), half->GetValueText());
  }
}

bool QORAPOModeSelector::Init(const QORAPOEndpointInfo& endpoint,
                              const QORAPOModeIdentity& defaultMode) {
  HoldMode(defaultMode);
  key_.Close();
  QORRegistryKey::Open(QORRegistryHive::kLocalMachine, endpoint.GetRegistrySubkey(), kKeyRights,
                       key_);
  // Without the new key nothing may be written to the previous endpoint's.
  if (!registry_.SetKey(&key_)) {
    registry_.WatchValue(false, kValueName);
    return false;
  }
  registry_.LoadBinary(kValueName, true, true, true);
  // A running watch follows the new key.
  bool watching = false;
  {
    QORCriticalSectionLock hold(core_->listenerLock);
    watching = core_->listener != nullptr;
  }
  if (watching) registry_.WatchValue(true, kValueName);
  return true;
}

bool QORAPOModeSelector::SetMode(const QORAPOModeIdentity& mode) {
  HoldMode(mode);
  return registry_.GetKey() != nullptr && registry_.SaveBinary(kValueName);
}

bool QORAPOModeSelector::GetMode(QORAPOModeIdentity& out) {
  const bool loaded =
      registry_.GetKey() != nullptr && registry_.LoadBinary(kValueName, false, true, true);
  QORUTSValueList controls;
  QORPropertyControls::CarryInto(core_->set, controls);
  out = QORAPOConfigurationReader::ReadIdentity(controls);
  return loaded && out.IsValid();
}

bool QORAPOModeSelector::SetNotify(IQORAPOModeSelectorNotify* listener) {
  {
    QORCriticalSectionLock hold(core_->listenerLock);
    core_->listener = listener;
  }
  // Outside the listener lock: stopping waits for the watch thread, which may be waiting for it.
  return registry_.WatchValue(listener != nullptr, kValueName);
}

bool QORAPOModeSelector::DeleteValue() {
  return key_.IsOpen() && key_.DeleteValue(kValueName) == ERROR_SUCCESS;
}
