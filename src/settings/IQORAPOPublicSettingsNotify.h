#pragma once

class QORAPOPublicSettings;
class QORUTSValue;

// Hears that a public or global control changed in the registry.
class IQORAPOPublicSettingsNotify {
 public:
  virtual ~IQORAPOPublicSettingsNotify() = default;
  virtual void OnPublicSettingChanged(QORAPOPublicSettings& source, const QORUTSValue& control) = 0;
};
