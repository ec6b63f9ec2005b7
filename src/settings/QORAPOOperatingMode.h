#pragma once

#include "settings/QORAPOChainDefinition.h"
#include "settings/QORAPOModeIdentity.h"
#include "settings/QORUTSValueList.h"

// One named way of processing a device: its identity, controls and chains. Shared through
// pointers by the configuration; chains under construction keep deep copies.
class QORAPOOperatingMode {
 public:
  QORAPOOperatingMode() = default;
  QORAPOOperatingMode(const QORAPOOperatingMode&) = default;
  QORAPOOperatingMode& operator=(const QORAPOOperatingMode&) = default;
  virtual ~QORAPOOperatingMode() = default;

  virtual QORAPOModeIdentity& GetModeIdentity() { return identity_; }
  virtual QORUTSValueList& GetPublicControls() { return publicControls_; }
  virtual QORUTSValueList& GetPrivateControls() { return privateControls_; }
  // Public controls with the private ones merged over them.
  virtual QORUTSValueList& GetControls() { return controls_; }
  virtual QORAPOChainDefinition& GetChainDefinition() { return chainDefinition_; }
  virtual bool IsAutoMic() const { return autoMic_; }

  const QORAPOModeIdentity& GetModeIdentity() const { return identity_; }
  const QORUTSValueList& GetPublicControls() const { return publicControls_; }
  const QORUTSValueList& GetPrivateControls() const { return privateControls_; }
  const QORUTSValueList& GetControls() const { return controls_; }
  const QORAPOChainDefinition& GetChainDefinition() const { return chainDefinition_; }
  void SetAutoMic(bool autoMic) { autoMic_ = autoMic; }

 private:
  QORAPOModeIdentity identity_;
  QORUTSValueList publicControls_;
  QORUTSValueList privateControls_;
  QORUTSValueList controls_;
  QORAPOChainDefinition chainDefinition_;
  bool autoMic_ = false;
};
