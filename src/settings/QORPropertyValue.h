#pragma once

#include <boost/any.hpp>
#include <string>
#include <typeinfo>

// The rules property sets apply to their type-erased values: equality and the conversions on
// reading. long keeps its 32-bit meaning: values outside -2147483648..2147483647 are refused.
class QORPropertyValue {
 public:
  // Tags of the ten types in the stored binary form.
  enum Tag : int {
    kLong = 0,
    kInt = 1,
    kShort = 2,
    kFloat = 3,
    kDouble = 4,
    kBool = 5,
    kString = 6,
    kWideString = 7,
    kCharVector = 8,
    kByteVector = 9,
    kTagCount = 10,
    kNoTag = -1,
  };

  static Tag TagOf(const std::type_info& type);

  static constexpr long kLongMin = -2147483648L;
  static constexpr long kLongMax = 2147483647L;

  // Same type and same content; floating NaN and unknown types are never equal.
  static bool Equal(const boost::any& a, const boost::any& b);
  // false (out untouched) when the value has no whole-number form in the 32-bit range.
  static bool ToLong(const boost::any& value, long& out);
  // false when the value is not one of the ten property types; out is emptied first.
  static bool ToWide(const boost::any& value, std::wstring& out);
  static bool ToText(const boost::any& value, std::string& out);

  static bool InLongRange(long value) { return value >= kLongMin && value <= kLongMax; }
};
