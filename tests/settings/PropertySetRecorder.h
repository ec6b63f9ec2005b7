#pragma once

#include <string>
#include <vector>

#include "settings/IQORPropertySetNotify.h"
#include "settings/QORPropertySet.h"

using Calls = std::vector<std::string>;

inline PropertyList Entries(QORPropertySet& set) {
  PropertyList all;
  set.GetAllProperties(all);
  return all;
}

// Listener for tests: records "changed:<key>" and "changing:<key>" in call order.
class PropertySetRecorder : public IQORPropertySetNotify {
 public:
  void OnPropertyChanged(QORPropertySet&, const PropertyEntry& entry) override {
    calls.push_back("changed:" + std::string(entry.key.begin(), entry.key.end()));
  }
  bool OnPropertyChanging(QORPropertySet&, const PropertyEntry& entry) override {
    calls.push_back("changing:" + std::string(entry.key.begin(), entry.key.end()));
    return false;
  }

  Calls calls;
};
