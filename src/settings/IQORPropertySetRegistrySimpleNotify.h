#pragma once

class QORPropertySetRegistry;

// Told by a registry property set's watch thread that its key changed, in place of a reload.
class IQORPropertySetRegistrySimpleNotify {
 public:
  virtual ~IQORPropertySetRegistrySimpleNotify() = default;
  // Runs on the watch thread.
  virtual void OnRegistryChanged(QORPropertySetRegistry& source) = 0;
};
