#include "settings/QORUTSValue.h"

#include <boost/lexical_cast.hpp>
#include <cmath>
#include <limits>
#include <utility>

#include "common/QORTextConvert.h"

namespace {

constexpr double kFloatEpsilon = 1.1920929e-7;

bool InInt32Range(double x) {
  return x >= static_cast<double>(std::numeric_limits<int32_t>::min()) &&
         x <= static_cast<double>(std::numeric_limits<int32_t>::max());
}

// A text with a decimal point counts only when it names a whole number within float precision.
int32_t IndexFromFloatText(const std::string& text) {
  float parsed = 0.0f;
  if (!boost::conversion::try_lexical_convert(text, parsed)) return -1;
  const double x = parsed;
  if (!std::isfinite(x)) return -1;
  const double whole = std::trunc(x);
  if (!InInt32Range(whole)) return -1;
  if (whole == 0.0) {
    // Below one only zero itself is whole; "0.5" must not pass for 0.
    return std::fabs(x) <= kFloatEpsilon ? 0 : -1;
  }
  if (std::fabs(x / whole - 1.0) > kFloatEpsilon) return -1;
  return static_cast<int32_t>(whole);
}

int32_t IndexFromText(const std::string& text) {
  if (text == "Enabled") return 1;
  if (text == "Disabled") return 0;
  if (text.find('.') != std::string::npos) return IndexFromFloatText(text);
  int32_t number = 0;
  if (!boost::conversion::try_lexical_convert(text, number)) return -1;
  return number;
}

}  // namespace

QORUTSValue::QORUTSValue(std::string name, boost::any value)
    : name_(std::move(name)), value_(std::move(value)) {}

QORUTSValue::QORUTSValue(std::string name, const char* text)
    : name_(std::move(name)), value_(std::string(text != nullptr ? text : "")) {}

QORUTSValue::QORUTSValue(std::string name, long value) : name_(std::move(name)), value_(value) {}

std::string QORUTSValue::GetValueText() const {
  if (const auto* l = boost::any_cast<long>(&value_)) return std::to_string(*l);
  if (const auto* i = boost::any_cast<int>(&value_)) return std::to_string(*i);
  if (const auto* f = boost::any_cast<float>(&value_)) return boost::lexical_cast<std::string>(*f);
  if (const auto* s = boost::any_cast<std::string>(&value_)) return *s;
  return std::string();
}

std::wstring QORUTSValue::GetValueWide() const {
  return QORUtf8ToWide(GetValueText());
}

void QORUTSValue::SetValueWide(const std::wstring& text) {
  std::string narrow = QORWideToUtf8(text);
  if (!narrow.empty()) value_ = std::move(narrow);
}

std::wstring QORUTSValue::GetNameWide() const {
  return QORUtf8ToWide(name_);
}

std::string QORUTSValue::GetPrefix() const {
  const size_t colon = name_.find(':');
  return colon == std::string::npos ? std::string() : name_.substr(0, colon);
}

std::string QORUTSValue::GetShortName() const {
  const size_t colon = name_.find(':');
  return colon == std::string::npos ? name_ : name_.substr(colon + 1);
}

int32_t QORUTSValue::GetIndex() const {
  if (const auto* l = boost::any_cast<long>(&value_)) {
    return InInt32Range(static_cast<double>(*l)) ? static_cast<int32_t>(*l) : -1;
  }
  if (const auto* i = boost::any_cast<int>(&value_)) return *i;
  if (const auto* f = boost::any_cast<float>(&value_)) {
    const double whole = std::trunc(static_cast<double>(*f));
    return std::isfinite(whole) && InInt32Range(whole) ? static_cast<int32_t>(whole) : -1;
  }
  if (const auto* s = boost::any_cast<std::string>(&value_)) return IndexFromText(*s);
  return -1;
}

bool QORUTSValue::operator==(const QORUTSValue& other) const {
  return name_ == other.name_ && GetValueText() == other.GetValueText();
}
