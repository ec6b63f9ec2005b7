#include "settings/QORPropertySetThreadsafe.h"

void QORPropertySetThreadsafe::GetAllProperties(PropertyList& out) {
  QORCriticalSectionLock hold(lock_);
  QORPropertySet::GetAllProperties(out);
}

bool QORPropertySetThreadsafe::GetAllPropertiesBinary(Bytes& out) {
  QORCriticalSectionLock hold(lock_);
  return QORPropertySet::GetAllPropertiesBinary(out);
}

bool QORPropertySetThreadsafe::SetAllPropertiesBinary(const Bytes& in) {
  QORCriticalSectionLock hold(lock_);
  return QORPropertySet::SetAllPropertiesBinary(in);
}

void QORPropertySetThreadsafe::ClearProperties() {
  QORCriticalSectionLock hold(lock_);
  QORPropertySet::ClearProperties();
}

void QORPropertySetThreadsafe::SetAllProperties(const PropertyList& list, bool notify) {
  QORCriticalSectionLock hold(lock_);
  QORPropertySet::SetAllProperties(list, notify);
}

void QORPropertySetThreadsafe::MergePropertySet(QORPropertySet& other, bool replaceExisting,
                                                bool addNew) {
  QORCriticalSectionLock hold(lock_);
  QORPropertySet::MergePropertySet(other, replaceExisting, addNew);
}

void QORPropertySetThreadsafe::SetProperty(const wchar_t* key, const boost::any& value) {
  QORCriticalSectionLock hold(lock_);
  QORPropertySet::SetProperty(key, value);
}

bool QORPropertySetThreadsafe::GetProperty(const wchar_t* key, boost::any& out) {
  QORCriticalSectionLock hold(lock_);
  return QORPropertySet::GetProperty(key, out);
}

void QORPropertySetThreadsafe::AddNotify(IQORPropertySetNotify* listener) {
  QORCriticalSectionLock hold(lock_);
  QORPropertySet::AddNotify(listener);
}

void QORPropertySetThreadsafe::RemoveNotify(IQORPropertySetNotify* listener) {
  QORCriticalSectionLock hold(lock_);
  QORPropertySet::RemoveNotify(listener);
}

// The listener map is also read under the lock, so that a listener may come or go meanwhile.
void QORPropertySetThreadsafe::NotifyChanged(const PropertyEntry& entry) {
  QORCriticalSectionLock hold(lock_);
  QORPropertySet::NotifyChanged(entry);
}

bool QORPropertySetThreadsafe::NotifyChanging(const PropertyEntry& entry) {
  QORCriticalSectionLock hold(lock_);
  return QORPropertySet::NotifyChanging(entry);
}
