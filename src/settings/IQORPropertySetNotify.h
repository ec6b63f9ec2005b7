#pragma once

#include "settings/PropertyEntry.h"

class QORPropertySet;

// Listener of a property set. A listener unregisters itself before it is destroyed.
class IQORPropertySetNotify {
 public:
  virtual ~IQORPropertySetNotify() = default;
  // An entry was added or its value changed; entry holds the key and the new value.
  virtual void OnPropertyChanged(QORPropertySet& set, const PropertyEntry& entry) = 0;
  // An existing entry is about to be given the value in entry.
  virtual bool OnPropertyChanging(QORPropertySet& set, const PropertyEntry& entry) = 0;
};
