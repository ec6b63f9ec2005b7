#pragma once

#include <functional>
#include <string>
#include <vector>

#include "settings/IQORPropertySetNotify.h"
#include "settings/QORPropertySet.h"

// Listener for tests: records "changed:<key>" and "changing:<key>" in call order and can run an
// action from within the changed call.
class PropertySetRecorder : public IQORPropertySetNotify {
 public:
  void OnPropertyChanged(QORPropertySet& set, const PropertyEntry& entry) override {
    calls.push_back("changed:" + Narrow(entry.key));
    lastValue = entry.value;
    if (onChanged) onChanged(set, entry);
  }
  bool OnPropertyChanging(QORPropertySet&, const PropertyEntry& entry) override {
    calls.push_back("changing:" + Narrow(entry.key));
    return answerChanging;
  }

  std::vector<std::string> calls;
  boost::any lastValue;
  bool answerChanging = false;
  std::function<void(QORPropertySet&, const PropertyEntry&)> onChanged;

 private:
  static std::string Narrow(const std::wstring& key) { return std::string(key.begin(), key.end()); }
};
