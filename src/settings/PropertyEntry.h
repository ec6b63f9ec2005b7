#pragma once

#include <boost/any.hpp>
#include <string>
#include <utility>

// One named setting of a property set; the entry owns a copy of its value.
struct PropertyEntry {
  PropertyEntry() = default;
  PropertyEntry(std::wstring k, boost::any v) : key(std::move(k)), value(std::move(v)) {}

  std::wstring key;
  boost::any value;
};
