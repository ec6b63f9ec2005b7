#include "settings/QORUTSControlInfo.h"

void QORUTSControlInfo::SetFromDesc(const char* name, uint32_t value1, uint32_t value2,
                                    uint32_t type, float scale, const char* const* valueNames,
                                    uint32_t valueNameCount) {
  name_ = name != nullptr ? name : "";
  value1_ = value1;
  value2_ = value2;
  type_ = type;
  scale_ = scale;
  valueNames_.clear();
  if (valueNames == nullptr) return;
  for (uint32_t i = 0; i < valueNameCount; ++i) {
    valueNames_.emplace_back(valueNames[i] != nullptr ? valueNames[i] : "");
  }
}

void QORUTSControlInfo::SetFromDescScaled(const char* name, uint32_t value1, uint32_t value2,
                                          uint32_t type, const char* const* valueNames,
                                          uint32_t valueNameCount) {
  SetFromDesc(name, value1, value2, type, type == kPercentType ? 100.0f : 1.0f, valueNames,
              valueNameCount);
}
