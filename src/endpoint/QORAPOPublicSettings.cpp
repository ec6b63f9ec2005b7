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
  keyPath_ = endpoint.GetRegistrySubkey();
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

std::wstring QORAPOPublicSettings::WriteLockName(const std::wstring& keyPath,
                                                 const std::wstring& valueName) {
  std::wstring name = L"Global\\QorSettingsWrite:" + keyPath + L"\\" + valueName;
  for (wchar_t& c : name) {
    if (c >= L'a' && c <= L'z') c = static_cast<wchar_t>(c - L'a' + L'A');
  }
  return name;
}

std::string QORAPOPublicSettings::WriteError() const {
  QORCriticalSectionLock hold(settingsLock_);
  return writeError_;
}

bool QORAPOPublicSettings::Update(const std::function<bool(QORPropertySet&)>& change) {
  writeError_.clear();
  if (registry_.GetKey() == nullptr) {
    QORTrace({"QORAPOPublicSettings", __LINE__, "QORAPOPublicSettings::Update"},
             "Registry key is not opened.\n");
    writeError_ = "the endpoint's settings key is not open";
    return false;
  }
  const std::wstring lockName = WriteLockName(keyPath_, valueName_);
  const auto result =
      registry_.UpdateBinary(lockName, kWriteLockWaitMs, valueName_, addStoredNames_, change);
  switch (result) {
    case QORPropertySetRegistry::UpdateResult::kSaved:
      return true;
    case QORPropertySetRegistry::UpdateResult::kLockTimeout:
      writeError_ = "another process held the settings lock '" + QORWideToUtf8(lockName) +
                    "' for longer than " + std::to_string(kWriteLockWaitMs / 1000) +
                    " s; nothing was written";
      break;
    case QORPropertySetRegistry::UpdateResult::kLockFailed:
      writeError_ = "cannot open the settings lock '" + QORWideToUtf8(lockName) +
                    "' (check that the state root (QOR_ROOT) is writable); nothing was written";
      break;
    case QORPropertySetRegistry::UpdateResult::kRefused:
      writeError_ = "the control is not one of this set, or has no text";
      break;
    case QORPropertySetRegistry::UpdateResult::kNotSaved:
      writeError_ = "cannot store the value '" + QORWideToUtf8(valueName_) + "'";
      break;
  }
  QORTrace({"QORAPOPublicSettings", __LINE__, "QORAPOPublicSettings::Update"}, "%s\n",
           writeError_.c_str());
  return false;
}

bool QORAPOPublicSettings::WriteControl(const QORUTSValue& control) {
  QORCriticalSectionLock hold(settingsLock_);
  // An empty text has no stored form: held, it would fail every later save.
  const std::string text = control.GetValueText();
  return Update([&](QORPropertySet& set) {
    boost::any current;
    if (!set.GetProperty(control.GetNameWide().c_str(), current)) {
      QORTrace({"QORAPOPublicSettings", __LINE__, "QORAPOPublicSettings::WriteControl"},
               "WriteControl: Unable to get property %s\n", control.GetName().c_str());
      return false;
    }
    if (text.empty()) return false;
    set.SetProperty(control.GetNameWide(), text);
    return true;
  });
}

bool QORAPOPublicSettings::WriteControls(const QORUTSValueList& controls) {
  QORCriticalSectionLock hold(settingsLock_);
  bool complete = true;
  const bool saved = Update([&](QORPropertySet& set) {
    for (const auto& [name, control] : controls.Values()) {
      const std::string text = control.GetValueText();
      if (text.empty()) {
        complete = false;
        continue;
      }
      set.SetProperty(control.GetNameWide(), text);
    }
    return true;
  });
  return saved && complete;
}

bool QORAPOPublicSettings::SaveAllControls() {
  QORCriticalSectionLock hold(settingsLock_);
  for (const auto& [name, control] : allControls_.Values()) {
    allControlsSet_.SetProperty(control.GetNameWide(), control.GetValueText());
  }
  return Update([](QORPropertySet&) { return true; });
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
