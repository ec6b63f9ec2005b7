#pragma once

#include "settings/PropertyEntry.h"
#include "settings/QORPropertySet.h"
#include "settings/QORUTSValue.h"
#include "settings/QORUTSValueList.h"

// Carries the entries of a property set into control values: whole numbers (long, int, short)
// become long, 8-bit
// text stays text, wide text becomes UTF-8; entries of any other type have no control form.
class QORPropertyControls {
 public:
  // false (out untouched) when the entry has no control form.
  static bool ToControl(const PropertyEntry& entry, QORUTSValue& out);
  // Into an empty list every entry with a control form becomes a control; into a non-empty one
  // only the controls already there take the values of the same-named entries.
  static void CarryInto(QORPropertySet& set, QORUTSValueList& list);
  // Only the controls already in the list take the values of the same-named entries (names
  // compare as the set's keys do).
  static void UpdateFrom(QORPropertySet& set, QORUTSValueList& list);
};
