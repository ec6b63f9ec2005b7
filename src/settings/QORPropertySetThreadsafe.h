#pragma once

#include <atomic>

#include "platform/QORCriticalSection.h"
#include "settings/QORPropertySet.h"

// A property set that a registry watch thread fills while its owner's threads read it. Each
// single read or write holds one recursive lock, so listeners called under it may use the set
// again; a merge or copy as a whole is atomic only through MergePropertySet.
class QORPropertySetThreadsafe : public QORPropertySet {
 public:
  using QORPropertySet::GetProperty;
  using QORPropertySet::SetProperty;

  void GetAllProperties(PropertyList& out) override;
  bool GetAllPropertiesBinary(Bytes& out) override;
  bool SetAllPropertiesBinary(const Bytes& in) override;
  void ClearProperties() override;
  void SetAllProperties(const PropertyList& list, bool notify) override;
  void MergePropertySet(QORPropertySet& other, bool replaceExisting, bool addNew) override;
  void SetProperty(const wchar_t* key, const boost::any& value) override;
  bool GetProperty(const wchar_t* key, boost::any& out) override;
  void SetModified(bool modified) override { modified_.exchange(modified); }
  bool IsModified() override { return modified_.load(); }
  void AddNotify(IQORPropertySetNotify* listener) override;
  void RemoveNotify(IQORPropertySetNotify* listener) override;
  void NotifyChanged(const PropertyEntry& entry) override;
  bool NotifyChanging(const PropertyEntry& entry) override;

 private:
  QORCriticalSection lock_;
  std::atomic<bool> modified_{false};
};
