#pragma once

#include <boost/any.hpp>
#include <cstdint>
#include <map>
#include <string>
#include <type_traits>
#include <vector>

#include "settings/IQORPropertySetNotify.h"
#include "settings/PropertyList.h"

// Named, typed settings in insertion order, with listeners and one stored binary form (see
// QORPropertyBinaryWriter). Keys compare without regard to ASCII letter case and keep their first
// spelling. For one thread at a time; QORPropertySetThreadsafe adds a lock.
class QORPropertySet {
 public:
  using Bytes = std::vector<uint8_t>;

  QORPropertySet() = default;
  QORPropertySet(const QORPropertySet&) = delete;
  QORPropertySet& operator=(const QORPropertySet&) = delete;
  virtual ~QORPropertySet() = default;

  virtual void GetAllProperties(PropertyList& out);
  // false when some entry has no record; the others are still written.
  virtual bool GetAllPropertiesBinary(Bytes& out);
  // Replaces the content without calling listeners. false on an empty buffer or at the first
  // malformed record; the entries before it are kept.
  virtual bool SetAllPropertiesBinary(const Bytes& in);
  // Merges the records read up to the first malformed one through MergeProperties; false when
  // there was one (or no bytes at all).
  virtual bool MergePropertiesBinary(const Bytes& in, bool replaceExisting, bool addNew);
  virtual void ClearProperties();
  virtual void SetAllProperties(const PropertyList& list, bool notify);
  virtual void CopyProperties(QORPropertySet& other);
  virtual void MergeProperties(const PropertyList& list, bool replaceExisting, bool addNew);
  virtual void MergePropertySet(QORPropertySet& other, bool replaceExisting, bool addNew);
  // The one writing operation; every other setter ends here.
  virtual void SetProperty(const wchar_t* key, const boost::any& value);

  virtual void SetProperty(const std::wstring& key, const char* value);
  virtual void SetProperty(const std::wstring& key, const std::string& value);
  virtual void SetProperty(const wchar_t* key, const char* value);
  virtual void SetProperty(const wchar_t* key, const std::string& value);
  virtual void SetProperty(const std::wstring& key, const wchar_t* value);
  virtual void SetProperty(const std::wstring& key, const std::wstring& value);
  virtual void SetProperty(const wchar_t* key, const wchar_t* value);
  virtual void SetProperty(const wchar_t* key, const std::wstring& value);
  virtual void SetProperty(const std::wstring& key, long value);
  virtual void SetProperty(const wchar_t* key, long value);
  // Floating and bool values keep their type instead of being narrowed into the long overload.
  template <typename T>
  requires std::is_floating_point_v<T> || std::is_same_v<T, bool>
  void SetProperty(const wchar_t* key, T value) { SetProperty(key, boost::any(value)); }
  template <typename T>
  requires std::is_floating_point_v<T> || std::is_same_v<T, bool>
  void SetProperty(const std::wstring& key, T value) {
    SetProperty(key.c_str(), boost::any(value));
  }

  virtual bool GetProperty(const wchar_t* key, boost::any& out);
  virtual bool GetProperty(const std::wstring& key, std::string& out);
  virtual bool GetProperty(const wchar_t* key, std::string& out);
  virtual bool GetProperty(const std::wstring& key, std::wstring& out);
  virtual bool GetProperty(const wchar_t* key, std::wstring& out);
  virtual bool GetProperty(const std::wstring& key, long& out);
  virtual bool GetProperty(const wchar_t* key, long& out);

  virtual void SetModified(bool modified) { modified_ = modified; }
  virtual bool IsModified() { return modified_; }
  virtual void AddNotify(IQORPropertySetNotify* listener);
  virtual void RemoveNotify(IQORPropertySetNotify* listener);
  virtual void NotifyChanged(const PropertyEntry& entry);
  virtual bool NotifyChanging(const PropertyEntry& entry);

  // ASCII letters fold to lower case; every other character compares as it is.
  static bool KeysEqual(const std::wstring& a, const wchar_t* b);
  // Reads records into list; false when reading met no bytes or a malformed record.
  static bool ReadRecords(const Bytes& in, PropertyList& list);

 private:
  // Index of the entry with that key, or entries_.size().
  size_t IndexOf(const wchar_t* key) const;
  std::vector<IQORPropertySetNotify*> EnabledListeners() const;
  bool StillEnabled(IQORPropertySetNotify* listener) const;

  bool modified_ = false;
  std::map<IQORPropertySetNotify*, bool> listeners_;
  PropertyList entries_;
};
