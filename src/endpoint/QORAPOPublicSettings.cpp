#include "endpoint/QORAPOPublicSettings.h"

#include "common/QORTextConvert.h"
#include "common/QORTrace.h"
#include "endpoint/QORAPOEndpointInfo.h"
#include "settings/QORPropertyControls.h"

QORAPOPublicSettings::QORAPOPublicSettings() : core_(std::make_shared<QORPropertySetRelay>()) {
  registry_.AttachPropertySet(std::shared_ptr<QORPropertySet>(core_, &core_->set));
}

QORAPOPublicSettings::~QORAPOPublicSettings() {
  core_->Close();
  registry_.WatchValue(false, valueName_);
}

QORPropertySet& QORAPOPublicSettings::PublicSet() {
  return core_->set;
}

bool QORAPOPublicSettings::OpenKey(const QORAPOEndpointInfo& endpoint) {
  key_.Close();
  QORRegistryKey::Open(QORRegistryHive::kLocalMachine, endpoint.GetRegistrySubkey(), kKeyRights,
                       key_);
  // Without the new key nothing may be written to the previous one.
  return registry_.SetKey(&key_);
}

bool QORAPOPublicSettings::Init(const QORAPOEndpointInfo& endpoint,
                                const QORAPOOperatingMode& mode) {
  SetNotify(nullptr);
  QORCriticalSectionLock hold(settingsLock_);
  PublicSet().ClearProperties();
  allControls_ = mode.GetControls();
  for (const auto& [name, control] : mode.GetPublicControls().Values()) {
    PublicSet().SetProperty(control.GetNameWide(), control.GetValueText());
  }
  valueName_ = mode.GetModeIdentity().GetTextWide();
  const std::string path = QORWideToUtf8(endpoint.GetRegistrySubkey());
  if (!OpenKey(endpoint)) {
    QORTrace({"QORAPOPublicSettings", __LINE__, "QORAPOPublicSettings::Init"},
             "Error: %s NOT found in registry\n", path.c_str());
    return false;
  }
  QORTrace({"QORAPOPublicSettings", __LINE__, "QORAPOPublicSettings::Init"},
           "OK: %s found in registry\n", path.c_str());
  registry_.LoadBinary(valueName_, true, true, false);
  return true;
}

bool QORAPOPublicSettings::WriteControl(const QORUTSValue& control) {
  QORCriticalSectionLock hold(settingsLock_);
  auto loads = registry_.HoldLoads();
  boost::any current;
  if (!PublicSet().GetProperty(control.GetNameWide().c_str(), current)) {
    QORTrace({"QORAPOPublicSettings", __LINE__, "QORAPOPublicSettings::WriteControl"},
             "WriteControl: Unable to get property %s\n", control.GetName().c_str());
    return false;
  }
  // An empty text has no stored form: held, it would fail every later save.
  const std::string text = control.GetValueText();
  if (text.empty()) return false;
  PublicSet().SetProperty(control.GetNameWide(), text);
  if (registry_.GetKey() == nullptr) {
    QORTrace({"QORAPOPublicSettings", __LINE__, "QORAPOPublicSettings::WriteControl"},
             "WriteControl: Registry key is not opened.\n");
    return false;
  }
  return registry_.SaveBinary(valueName_.c_str());
}

bool QORAPOPublicSettings::WriteControls(const QORUTSValueList& controls) {
  QORCriticalSectionLock hold(settingsLock_);
  auto loads = registry_.HoldLoads();
  bool complete = true;
  for (const auto& [name, control] : controls.Values()) {
    const std::string text = control.GetValueText();
    if (text.empty()) {
      complete = false;
      continue;
    }
    PublicSet().SetProperty(control.GetNameWide(), text);
  }
  if (registry_.GetKey() == nullptr) return false;
  return registry_.SaveBinary(valueName_.c_str()) && complete;
}

bool QORAPOPublicSettings::SaveAllControls() {
  QORCriticalSectionLock hold(settingsLock_);
  for (const auto& [name, control] : allControls_.Values()) {
    allControlsSet_.SetProperty(control.GetNameWide(), control.GetValueText());
  }
  return registry_.GetKey() != nullptr && registry_.SaveBinary(valueName_.c_str());
}

bool QORAPOPublicSettings::ReadControls(QORUTSValueList& out, bool clear) {
  QORCriticalSectionLock hold(settingsLock_);
  if (clear) out.Clear();
  if (registry_.GetKey() == nullptr) return false;
  const bool loaded = registry_.LoadBinary(valueName_, true, true, false);
  QORPropertyControls::CarryInto(PublicSet(), out);
  return loaded;
}

bool QORAPOPublicSettings::ReadAllControls(QORUTSValueList& out, bool clear) {
  QORCriticalSectionLock hold(settingsLock_);
  if (clear) out.Clear();
  bool loaded = false;
  if (registry_.GetKey() != nullptr) {
    loaded = registry_.LoadBinary(valueName_, true, true, false);
    QORPropertyControls::UpdateFrom(allControlsSet_, allControls_);
  }
  out = allControls_;
  return loaded;
}

bool QORAPOPublicSettings::SetNotify(IQORAPOPublicSettingsNotify* listener) {
  {
    QORPropertySetRelay::Forward forward;
    if (listener != nullptr) {
      forward = [this, listener](const QORUTSValue& control) {
        listener->OnPublicSettingChanged(*this, control);
      };
    }
    core_->SetForward(std::move(forward));
  }
  std::wstring name;
  {
    QORCriticalSectionLock hold(settingsLock_);
    name = valueName_;
  }
  // Outside both locks: stopping waits for the watch thread, which may be waiting for them.
  return registry_.WatchValue(listener != nullptr, name);
}

bool QORAPOPublicSettings::DeleteValue() {
  QORCriticalSectionLock hold(settingsLock_);
  return key_.IsOpen() && key_.DeleteValue(valueName_) == ERROR_SUCCESS;
}
