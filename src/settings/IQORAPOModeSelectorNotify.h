#pragma once

// Hears that the current operating mode of an endpoint changed.
class IQORAPOModeSelectorNotify {
 public:
  virtual ~IQORAPOModeSelectorNotify() = default;
  virtual void OnModeSelectorChanged() = 0;
};
