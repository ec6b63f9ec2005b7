#include "endpoint/QORAPOModeSelector.h"

#include "endpoint/QORAPOEndpointInfo.h"
#include "settings/QORAPOConfigurationReader.h"
#include "settings/QORPropertyControls.h"

QORAPOModeSelector::QORAPOModeSelector() : core_(std::make_shared<QORPropertySetRelay>()) {
  registry_.AttachPropertySet(std::shared_ptr<QORPropertySet>(core_, &core_->set));
}

QORAPOModeSelector::~QORAPOModeSelector() {
  core_->Close();
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
  { watching = core_->HasForward(); }
  if (watching) registry_.WatchValue(true, kValueName);
  return true;
}

bool QORAPOModeSelector::SetMode(const QORAPOModeIdentity& mode) {
  auto loads = registry_.HoldLoads();
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
    QORPropertySetRelay::Forward forward;
    if (listener != nullptr)
      forward = [listener](const QORUTSValue&) { listener->OnModeSelectorChanged(); };
    core_->SetForward(std::move(forward));
  }
  // Outside the listener lock: stopping waits for the watch thread, which may be waiting for it.
  return registry_.WatchValue(listener != nullptr, kValueName);
}

bool QORAPOModeSelector::DeleteValue() {
  return key_.IsOpen() && key_.DeleteValue(kValueName) == ERROR_SUCCESS;
}
