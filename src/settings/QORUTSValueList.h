#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>

#include "settings/QORUTSNameList.h"
#include "settings/QORUTSValue.h"

// Control values keyed by name (byte-wise order); each value carries its key as its name.
class QORUTSValueList {
 public:
  // Merge modes: how another list's values combine with this one's.
  static constexpr uint32_t kMergeCopy = 0;           // become a copy of the other list
  static constexpr uint32_t kMergeReplaceAndAdd = 1;  // kMergeReplace, then kMergeAdd
  static constexpr uint32_t kMergeReplace = 2;        // update names present here only
  static constexpr uint32_t kMergeAdd = 3;            // add names absent here only
  static constexpr uint32_t kMergeRemove = 4;         // drop every name the other list has

  using Map = std::map<std::string, QORUTSValue>;

  QORUTSValueList() = default;
  QORUTSValueList(const QORUTSValueList&) = default;
  QORUTSValueList& operator=(const QORUTSValueList&) = default;
  virtual ~QORUTSValueList() = default;

  virtual QORUTSValue* Find(const std::string& name);
  virtual QORUTSValue* Find(const char* name);
  virtual const QORUTSValue* Find(const std::string& name) const;
  virtual const QORUTSValue* Find(const char* name) const;
  virtual void Merge(const QORUTSValueList& other, uint32_t mode);
  // Returns the number of names given, whether or not they were present.
  virtual size_t Remove(const QORUTSNameList& names);

  // The entry of that name, added with an empty value when absent.
  QORUTSValue& GetOrAdd(const std::string& name);
  // Inserts or replaces the entry named after value.
  void Set(const QORUTSValue& value);
  // Takes fresh when it differs from this list; returns whether it did.
  bool ReplaceIfChanged(const QORUTSValueList& fresh);

  size_t Size() const { return values_.size(); }
  bool Empty() const { return values_.empty(); }
  void Clear() { values_.clear(); }
  const Map& Values() const { return values_; }

 private:
  void MergeReplace(const QORUTSValueList& other);
  void MergeAdd(const QORUTSValueList& other);
  void MergeRemove(const QORUTSValueList& other);

  Map values_;
};
