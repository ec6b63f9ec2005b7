#pragma once

#include "endpoint/QORAPOPublicSettings.h"

// The endpoint's global switches ("VAPO3-Process Enable", default 1, and "VAPO3-Mic Monitor
// Enable", default 0), kept in the value "QorApoGlobal" the way public controls are kept.
class QORAPOGlobalSettings : public QORAPOPublicSettings {
 public:
  static constexpr wchar_t kValueName[] = L"QorApoGlobal";
  static constexpr const char* kProcessEnable = "VAPO3-Process Enable";
  static constexpr const char* kMicMonitorEnable = "VAPO3-Mic Monitor Enable";

  // Global settings belong to no mode: always false.
  bool Init(const QORAPOEndpointInfo& endpoint, const QORAPOOperatingMode& mode) override;
  // Stops any watch, adds the switches with their defaults and opens the endpoint's existing key;
  // stored values replace the defaults and stored names they do not know are added. False when
  // the key does not exist.
  virtual bool InitGlobal(const QORAPOEndpointInfo& endpoint);
};
