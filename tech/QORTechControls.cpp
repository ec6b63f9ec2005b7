#include "QORTechControls.h"

#include <strings.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

int QORTechControls::Add(const QORTechControlDefinition& definition) {
  if (count_ == kMaxControls) std::abort();  // a process declares more controls than the table has
  TechControlDesc& d = descs_[count_];
  d.name = definition.name;
  d.minimum = definition.minimum;
  d.maximum = definition.maximum;
  d.valueNameCount = definition.valueNameCount;
  d.valueNames = definition.valueNames;
  d.type = definition.type;
  d.scale = definition.type == kTechControlHundredths ? 100.0f : 1.0f;
  values_[count_].store(definition.initial, std::memory_order_relaxed);
  return static_cast<int>(count_++);
}

int QORTechControls::AddNamed(QORTechControlDefinition definition, const char* format, ...) {
  if (count_ == kMaxControls) std::abort();
  std::array<char, 40>& name = names_[count_];
  va_list args;
  va_start(args, format);
  const int length = std::vsnprintf(name.data(), name.size(), format, args);
  va_end(args);
  if (length < 0 || static_cast<size_t>(length) >= name.size()) std::abort();  // name too long
  definition.name = name.data();
  return Add(definition);
}

int32_t QORTechControls::Describe(const TechControlDesc** descs) const {
  if (descs == nullptr) return 0;
  *descs = descs_.data();
  return static_cast<int32_t>(count_);
}

int QORTechControls::Find(const char* name) const {
  if (name == nullptr) return -1;
  for (size_t i = 0; i < count_; ++i) {
    if (strcasecmp(descs_[i].name, name) == 0) return static_cast<int>(i);
  }
  return -1;
}

bool QORTechControls::Store(int index, int32_t value) {
  const TechControlDesc& d = descs_[index];
  // Out-of-range values are refused rather than clamped so that a wrong setting is visible.
  if (value < d.minimum || value > d.maximum) return false;
  values_[index].store(value, std::memory_order_relaxed);
  return true;
}

bool QORTechControls::SetInt(const char* name, int32_t value) {
  const int index = Find(name);
  return index >= 0 && Store(index, value);
}

bool QORTechControls::SetString(const char* name, const char* value) {
  const int index = Find(name);
  if (index < 0 || value == nullptr) return false;
  const TechControlDesc& d = descs_[index];
  if (d.type == kTechControlSwitch) {
    if (strcasecmp(value, "On") == 0 || strcasecmp(value, "Enabled") == 0) return Store(index, 1);
    if (strcasecmp(value, "Off") == 0 || strcasecmp(value, "Disabled") == 0) return Store(index, 0);
  }
  for (uint32_t i = 0; i < d.valueNameCount; ++i) {
    if (strcasecmp(d.valueNames[i], value) == 0) return Store(index, static_cast<int32_t>(i));
  }
  // Otherwise a whole decimal integer in the control's integer units.
  errno = 0;
  char* end = nullptr;
  const long number = std::strtol(value, &end, 10);
  if (end == value || *end != '\0' || errno != 0 || number < INT32_MIN || number > INT32_MAX) {
    return false;
  }
  return Store(index, static_cast<int32_t>(number));
}

bool QORTechControls::GetInt(const char* name, int32_t* value) const {
  const int index = Find(name);
  if (index < 0 || value == nullptr) return false;
  *value = Value(index);
  return true;
}

bool QORTechControls::GetString(const char* name, const char** value) {
  const int index = Find(name);
  if (index < 0 || value == nullptr) return false;
  const TechControlDesc& d = descs_[index];
  const int32_t v = Value(index);
  if (d.type == kTechControlSwitch) {
    *value = v != 0 ? "On" : "Off";
  } else if (d.valueNames != nullptr && v >= 0 && static_cast<uint32_t>(v) < d.valueNameCount) {
    *value = d.valueNames[v];
  } else {
    std::snprintf(texts_[index].data(), texts_[index].size(), "%d", static_cast<int>(v));
    *value = texts_[index].data();
  }
  return true;
}
