#include "settings/QORPropertySet.h"

#include "settings/QORPropertyBinaryReader.h"
#include "settings/QORPropertyBinaryWriter.h"
#include "settings/QORPropertyValue.h"

namespace {

wchar_t FoldAscii(wchar_t c) {
  return (c >= L'A' && c <= L'Z') ? c - L'A' + L'a' : c;
}

}  // namespace

bool QORPropertySet::KeysEqual(const std::wstring& a, const wchar_t* b) {
  size_t i = 0;
  for (; i < a.size(); ++i) {
    if (b[i] == L'\0' || FoldAscii(a[i]) != FoldAscii(b[i])) return false;
  }
  return b[i] == L'\0';
}

size_t QORPropertySet::IndexOf(const wchar_t* key) const {
  size_t i = 0;
  while (i < entries_.size() && !KeysEqual(entries_[i].key, key)) ++i;
  return i;
}

void QORPropertySet::GetAllProperties(PropertyList& out) {
  out = entries_;
}

bool QORPropertySet::GetAllPropertiesBinary(Bytes& out) {
  out.clear();
  bool complete = true;
  for (const PropertyEntry& entry : entries_) {
    if (!QORPropertyBinaryWriter::AppendRecord(entry, out)) complete = false;
  }
  return complete;
}

bool QORPropertySet::ReadRecords(const Bytes& in, PropertyList& list) {
  if (in.empty()) return false;
  QORPropertyBinaryReader reader(in.data(), in.size());
  PropertyEntry entry;
  for (;;) {
    switch (reader.Next(entry)) {
      case QORPropertyBinaryReader::Result::kEnd:
        return true;
      case QORPropertyBinaryReader::Result::kMalformed:
        return false;
      case QORPropertyBinaryReader::Result::kSkipped:
        break;
      case QORPropertyBinaryReader::Result::kEntry:
        list.push_back(std::move(entry));
        entry = PropertyEntry();
        break;
    }
  }
}

bool QORPropertySet::SetAllPropertiesBinary(const Bytes& in) {
  entries_.clear();
  const bool complete = ReadRecords(in, entries_);
  SetModified(true);
  return complete;
}

bool QORPropertySet::MergePropertiesBinary(const Bytes& in, bool replaceExisting, bool addNew) {
  PropertyList list;
  const bool complete = ReadRecords(in, list);
  if (!list.empty()) MergeProperties(list, replaceExisting, addNew);
  return complete;
}

void QORPropertySet::ClearProperties() {
  entries_.clear();
}

void QORPropertySet::SetAllProperties(const PropertyList& list, bool notify) {
  if (notify) {
    entries_.clear();
    for (const PropertyEntry& entry : list) SetProperty(entry.key.c_str(), entry.value);
  } else {
    entries_ = list;
  }
  SetModified(true);
}

void QORPropertySet::CopyProperties(QORPropertySet& other) {
  if (&other == this) return;
  PropertyList list;
  other.GetAllProperties(list);
  SetAllProperties(list, true);
}

void QORPropertySet::MergeProperties(const PropertyList& list, bool replaceExisting, bool addNew) {
  for (const PropertyEntry& entry : list) {
    boost::any existing;
    const bool present = GetProperty(entry.key.c_str(), existing);
    if (present ? replaceExisting : addNew) SetProperty(entry.key.c_str(), entry.value);
  }
}

void QORPropertySet::MergePropertySet(QORPropertySet& other, bool replaceExisting, bool addNew) {
  PropertyList list;
  other.GetAllProperties(list);
  MergeProperties(list, replaceExisting, addNew);
}

void QORPropertySet::SetProperty(const wchar_t* key, const boost::any& value) {
  if (key == nullptr) return;
  size_t index = IndexOf(key);
  if (index < entries_.size()) {
    const PropertyEntry announced(entries_[index].key, value);
    NotifyChanging(announced);
    // A listener may have changed the set; look the key up again.
    index = IndexOf(key);
    if (index < entries_.size()) {
      if (QORPropertyValue::Equal(entries_[index].value, value)) return;
      entries_[index].value = value;
      NotifyChanged(announced);
      return;
    }
  }
  entries_.emplace_back(key, value);
  // Listeners get a copy: one that adds an entry would move the stored one.
  const PropertyEntry added = entries_.back();
  NotifyChanged(added);
}

void QORPropertySet::SetProperty(const std::wstring& key, const char* value) {
  SetProperty(key.c_str(), value);
}
void QORPropertySet::SetProperty(const std::wstring& key, const std::string& value) {
  SetProperty(key.c_str(), value);
}
void QORPropertySet::SetProperty(const wchar_t* key, const char* value) {
  SetProperty(key, boost::any(std::string(value != nullptr ? value : "")));
}
void QORPropertySet::SetProperty(const wchar_t* key, const std::string& value) {
  SetProperty(key, boost::any(value));
}
void QORPropertySet::SetProperty(const std::wstring& key, const wchar_t* value) {
  SetProperty(key.c_str(), value);
}
void QORPropertySet::SetProperty(const std::wstring& key, const std::wstring& value) {
  SetProperty(key.c_str(), value);
}
void QORPropertySet::SetProperty(const wchar_t* key, const wchar_t* value) {
  SetProperty(key, boost::any(std::wstring(value != nullptr ? value : L"")));
}
void QORPropertySet::SetProperty(const wchar_t* key, const std::wstring& value) {
  SetProperty(key, boost::any(value));
}
void QORPropertySet::SetProperty(const std::wstring& key, long value) {
  SetProperty(key.c_str(), value);
}
void QORPropertySet::SetProperty(const wchar_t* key, long value) {
  SetProperty(key, boost::any(value));
}

bool QORPropertySet::GetProperty(const wchar_t* key, boost::any& out) {
  if (key == nullptr) return false;
  const size_t index = IndexOf(key);
  if (index == entries_.size()) return false;
  out = entries_[index].value;
  return true;
}

bool QORPropertySet::GetProperty(const std::wstring& key, std::string& out) {
  return GetProperty(key.c_str(), out);
}
bool QORPropertySet::GetProperty(const wchar_t* key, std::string& out) {
  boost::any value;
  return GetProperty(key, value) && QORPropertyValue::ToText(value, out);
}
bool QORPropertySet::GetProperty(const std::wstring& key, std::wstring& out) {
  return GetProperty(key.c_str(), out);
}
bool QORPropertySet::GetProperty(const wchar_t* key, std::wstring& out) {
  boost::any value;
  return GetProperty(key, value) && QORPropertyValue::ToWide(value, out);
}
bool QORPropertySet::GetProperty(const std::wstring& key, long& out) {
  return GetProperty(key.c_str(), out);
}
bool QORPropertySet::GetProperty(const wchar_t* key, long& out) {
  boost::any value;
  return GetProperty(key, value) && QORPropertyValue::ToLong(value, out);
}

void QORPropertySet::AddNotify(IQORPropertySetNotify* listener) {
  if (listener != nullptr) listeners_[listener] = true;
}

void QORPropertySet::RemoveNotify(IQORPropertySetNotify* listener) {
  listeners_.erase(listener);
}

std::vector<IQORPropertySetNotify*> QORPropertySet::EnabledListeners() const {
  std::vector<IQORPropertySetNotify*> enabled;
  for (const auto& [listener, on] : listeners_) {
    if (on) enabled.push_back(listener);
  }
  return enabled;
}

bool QORPropertySet::StillEnabled(IQORPropertySetNotify* listener) const {
  const auto it = listeners_.find(listener);
  return it != listeners_.end() && it->second;
}

// Listeners are walked from a snapshot, so that one may add or remove listeners from its call;
// a listener removed meanwhile is not called any more.
void QORPropertySet::NotifyChanged(const PropertyEntry& entry) {
  SetModified(true);
  for (IQORPropertySetNotify* listener : EnabledListeners()) {
    if (StillEnabled(listener)) listener->OnPropertyChanged(*this, entry);
  }
}

bool QORPropertySet::NotifyChanging(const PropertyEntry& entry) {
  bool answered = false;
  for (IQORPropertySetNotify* listener : EnabledListeners()) {
    if (StillEnabled(listener) && listener->OnPropertyChanging(*this, entry)) answered = true;
  }
  return answered;
}
