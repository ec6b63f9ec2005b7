#include "settings/QORUTSValueList.h"

QORUTSValue* QORUTSValueList::Find(const std::string& name) {
  const auto it = values_.find(name);
  return it == values_.end() ? nullptr : &it->second;
}

QORUTSValue* QORUTSValueList::Find(const char* name) {
  return name == nullptr ? nullptr : Find(std::string(name));
}

const QORUTSValue* QORUTSValueList::Find(const std::string& name) const {
  const auto it = values_.find(name);
  return it == values_.end() ? nullptr : &it->second;
}

const QORUTSValue* QORUTSValueList::Find(const char* name) const {
  return name == nullptr ? nullptr : Find(std::string(name));
}

void QORUTSValueList::Merge(const QORUTSValueList& other, uint32_t mode) {
  if (&other == this) {
    // Merging a list into itself would walk the map it changes.
    const QORUTSValueList copy(other);
    Merge(copy, mode);
    return;
  }
  switch (mode) {
    case kMergeReplaceAndAdd:
      MergeReplace(other);
      MergeAdd(other);
      break;
    case kMergeReplace:
      MergeReplace(other);
      break;
    case kMergeAdd:
      MergeAdd(other);
      break;
    case kMergeRemove:
      MergeRemove(other);
      break;
    default:
      values_ = other.values_;
      break;
  }
}

size_t QORUTSValueList::Remove(const QORUTSNameList& names) {
  for (const std::string& name : names) values_.erase(name);
  return names.size();
}

QORUTSValue& QORUTSValueList::GetOrAdd(const std::string& name) {
  auto it = values_.find(name);
  if (it == values_.end()) it = values_.emplace(name, QORUTSValue(name, boost::any())).first;
  return it->second;
}

void QORUTSValueList::Set(const QORUTSValue& value) {
  values_[value.GetName()] = value;
}

bool QORUTSValueList::ReplaceIfChanged(const QORUTSValueList& fresh) {
  bool changed = fresh.values_.size() != values_.size();
  for (auto it = fresh.values_.begin(); !changed && it != fresh.values_.end(); ++it) {
    const QORUTSValue* mine = Find(it->first);
    changed = mine != nullptr && *mine != it->second;
  }
  if (changed && &fresh != this) values_ = fresh.values_;
  return changed;
}

void QORUTSValueList::MergeReplace(const QORUTSValueList& other) {
  for (const auto& [name, value] : other.values_) {
    if (QORUTSValue* mine = Find(name)) *mine = value;
  }
}

void QORUTSValueList::MergeAdd(const QORUTSValueList& other) {
  for (const auto& [name, value] : other.values_) values_.emplace(name, value);
}

void QORUTSValueList::MergeRemove(const QORUTSValueList& other) {
  QORUTSNameList names;
  for (const auto& entry : other.values_) names.push_back(entry.first);
  Remove(names);
}
