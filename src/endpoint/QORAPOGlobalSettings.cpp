#include "endpoint/QORAPOGlobalSettings.h"

bool QORAPOGlobalSettings::Init(const QORAPOEndpointInfo&, const QORAPOOperatingMode&) {
  return false;
}

bool QORAPOGlobalSettings::InitGlobal(const QORAPOEndpointInfo& endpoint) {
  SetNotify(nullptr);
  QORCriticalSectionLock hold(settingsLock_);
  allControls_.Set(QORUTSValue(kProcessEnable, boost::any(1L)));
  allControls_.Set(QORUTSValue(kMicMonitorEnable, boost::any(0L)));
  for (const auto& [name, control] : allControls_.Values()) {
    PublicSet().SetProperty(control.GetNameWide(), control.GetValueText());
  }
  valueName_ = kValueName;
  addStoredNames_ = true;
  if (!OpenKey(endpoint)) return false;
  registry_.LoadBinary(valueName_, true, true, true);
  return true;
}
