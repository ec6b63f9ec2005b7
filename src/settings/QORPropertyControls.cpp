#include "settings/QORPropertyControls.h"

#include <string>

#include "common/QORTextConvert.h"

bool QORPropertyControls::ToControl(const PropertyEntry& entry, QORUTSValue& out) {
  const std::string name = QORWideToUtf8(entry.key);
  if (const auto* number = boost::any_cast<long>(&entry.value)) {
    out = QORUTSValue(name, boost::any(*number));
  } else if (const auto* whole = boost::any_cast<int>(&entry.value)) {
    out = QORUTSValue(name, boost::any(static_cast<long>(*whole)));
  } else if (const auto* small = boost::any_cast<short>(&entry.value)) {
    out = QORUTSValue(name, boost::any(static_cast<long>(*small)));
  } else if (const auto* text = boost::any_cast<std::string>(&entry.value)) {
    out = QORUTSValue(name, boost::any(*text));
  } else if (const auto* wide = boost::any_cast<std::wstring>(&entry.value)) {
    out = QORUTSValue(name, boost::any(QORWideToUtf8(*wide)));
  } else {
    return false;
  }
  return true;
}

void QORPropertyControls::CarryInto(QORPropertySet& set, QORUTSValueList& list) {
  if (!list.Empty()) {
    UpdateFrom(set, list);
    return;
  }
  PropertyList entries;
  set.GetAllProperties(entries);
  for (const PropertyEntry& entry : entries) {
    QORUTSValue control;
    if (ToControl(entry, control)) list.Set(control);
  }
}

void QORPropertyControls::UpdateFrom(QORPropertySet& set, QORUTSValueList& list) {
  for (const auto& [name, control] : list.Values()) {
    boost::any value;
    QORUTSValue carried;
    if (set.GetProperty(control.GetNameWide().c_str(), value) &&
        ToControl(PropertyEntry(control.GetNameWide(), value), carried)) {
      list.Find(name)->SetValue(carried.GetValue());
    }
  }
}
