#include "settings/QORPropertyValue.h"

#include <boost/lexical_cast.hpp>
#include <cmath>
#include <cstdint>
#include <vector>

#include "common/QORTextConvert.h"

namespace {

template <typename T>
bool SameNumber(const boost::any& a, const boost::any& b) {
  return boost::any_cast<T>(a) == boost::any_cast<T>(b);
}

template <typename T>
bool SameFloating(const boost::any& a, const boost::any& b) {
  const T x = boost::any_cast<T>(a);
  const T y = boost::any_cast<T>(b);
  return !std::isnan(x) && !std::isnan(y) && x == y;
}

template <typename Char>
bool ParseLong(const std::basic_string<Char>& text, long& out) {
  long parsed = 0;
  if (!boost::conversion::try_lexical_convert(text, parsed)) return false;
  if (!QORPropertyValue::InLongRange(parsed)) return false;
  out = parsed;
  return true;
}

template <typename Bytes>
std::string Hex(const Bytes& bytes) {
  static const char kDigits[] = "0123456789ABCDEF";
  std::string text;
  text.reserve(bytes.size() * 2);
  for (const auto byte : bytes) {
    const auto b = static_cast<uint8_t>(byte);
    text.push_back(kDigits[b >> 4]);
    text.push_back(kDigits[b & 0x0F]);
  }
  return text;
}

// The 8-bit text of every property type but std::wstring; false for other types.
bool NumberOrBytesText(const boost::any& value, std::string& out) {
  const std::type_info& type = value.type();
  if (type == typeid(int)) {
    out = std::to_string(boost::any_cast<int>(value));
  } else if (type == typeid(long)) {
    out = std::to_string(boost::any_cast<long>(value));
  } else if (type == typeid(short)) {
    out = std::to_string(boost::any_cast<short>(value));
  } else if (type == typeid(float)) {
    out = boost::lexical_cast<std::string>(boost::any_cast<float>(value));
  } else if (type == typeid(double)) {
    out = boost::lexical_cast<std::string>(boost::any_cast<double>(value));
  } else if (type == typeid(bool)) {
    out.assign(1, boost::any_cast<bool>(value)
                      ? '1'
                      : '0');  // GCC 12 -Wrestrict trips on a ternary of literals
  } else if (type == typeid(std::string)) {
    out = boost::any_cast<const std::string&>(value);
  } else if (type == typeid(std::vector<char>)) {
    out = Hex(boost::any_cast<const std::vector<char>&>(value));
  } else if (type == typeid(std::vector<unsigned char>)) {
    out = Hex(boost::any_cast<const std::vector<unsigned char>&>(value));
  } else {
    return false;
  }
  return true;
}

}  // namespace

QORPropertyValue::Tag QORPropertyValue::TagOf(const std::type_info& type) {
  if (type == typeid(long)) return kLong;
  if (type == typeid(int)) return kInt;
  if (type == typeid(short)) return kShort;
  if (type == typeid(float)) return kFloat;
  if (type == typeid(double)) return kDouble;
  if (type == typeid(bool)) return kBool;
  if (type == typeid(std::string)) return kString;
  if (type == typeid(std::wstring)) return kWideString;
  if (type == typeid(std::vector<char>)) return kCharVector;
  if (type == typeid(std::vector<unsigned char>)) return kByteVector;
  return kNoTag;
}

bool QORPropertyValue::Equal(const boost::any& a, const boost::any& b) {
  const std::type_info& type = a.type();
  if (a.empty() || b.empty() || type != b.type()) return false;
  if (type == typeid(int)) return SameNumber<int>(a, b);
  if (type == typeid(long)) return SameNumber<long>(a, b);
  if (type == typeid(short)) return SameNumber<short>(a, b);
  if (type == typeid(bool)) return SameNumber<bool>(a, b);
  if (type == typeid(float)) return SameFloating<float>(a, b);
  if (type == typeid(double)) return SameFloating<double>(a, b);
  if (type == typeid(std::string)) return SameNumber<std::string>(a, b);
  if (type == typeid(std::wstring)) return SameNumber<std::wstring>(a, b);
  if (type == typeid(std::vector<char>)) return SameNumber<std::vector<char>>(a, b);
  if (type == typeid(std::vector<unsigned char>)) {
    return SameNumber<std::vector<unsigned char>>(a, b);
  }
  return false;
}

bool QORPropertyValue::ToLong(const boost::any& value, long& out) {
  const std::type_info& type = value.type();
  if (type == typeid(int)) {
    out = boost::any_cast<int>(value);
    return true;
  }
  if (type == typeid(short)) {
    out = boost::any_cast<short>(value);
    return true;
  }
  if (type == typeid(long)) {
    const long number = boost::any_cast<long>(value);
    if (!InLongRange(number)) return false;
    out = number;
    return true;
  }
  if (type == typeid(std::wstring))
    return ParseLong(boost::any_cast<const std::wstring&>(value), out);
  if (type == typeid(std::string))
    return ParseLong(boost::any_cast<const std::string&>(value), out);
  if (type == typeid(bool)) {
    out = boost::any_cast<bool>(value) ? 1 : 0;
    return true;
  }
  return false;
}

bool QORPropertyValue::ToWide(const boost::any& value, std::wstring& out) {
  out.clear();
  if (const auto* wide = boost::any_cast<std::wstring>(&value)) {
    out = *wide;
    return true;
  }
  std::string text;
  if (!NumberOrBytesText(value, text)) return false;
  out = QORUtf8ToWide(text);
  return true;
}

bool QORPropertyValue::ToText(const boost::any& value, std::string& out) {
  out.clear();
  if (const auto* wide = boost::any_cast<std::wstring>(&value)) {
    out = QORWideToUtf8(*wide);
    return true;
  }
  return NumberOrBytesText(value, out);
}
