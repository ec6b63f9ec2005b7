#pragma once

#include <boost/any.hpp>
#include <cstdint>
#include <string>

// One named control value. The value is empty or holds long (32-bit range), int, float or
// std::string; any other type has neither text nor integer form. A name "Inst:Control" addresses
// the control of one process instance.
class QORUTSValue {
 public:
  QORUTSValue() = default;
  QORUTSValue(std::string name, boost::any value);
  // A C string value is kept as std::string, never as a pointer.
  QORUTSValue(std::string name, const char* text);
  // A whole number; without it a literal 0L would pick the C string overload and become "".
  QORUTSValue(std::string name, long value);
  QORUTSValue(const QORUTSValue&) = default;
  QORUTSValue& operator=(const QORUTSValue&) = default;
  virtual ~QORUTSValue() = default;

  const std::string& GetName() const { return name_; }
  void SetName(const std::string& name) { name_ = name; }
  const boost::any& GetValue() const { return value_; }
  void SetValue(const boost::any& value) { value_ = value; }

  std::string GetValueText() const;
  void SetValueText(const std::string& text) { value_ = text; }
  std::wstring GetValueWide() const;
  // An empty text leaves the value as it was.
  void SetValueWide(const std::wstring& text);
  std::wstring GetNameWide() const;

  std::string GetPrefix() const;
  std::string GetShortName() const;
  // Integer form of the value; -1 when it has none.
  int32_t GetIndex() const;

  bool operator==(const QORUTSValue& other) const;
  bool operator!=(const QORUTSValue& other) const { return !(*this == other); }

 private:
  std::string name_;
  boost::any value_;
};
