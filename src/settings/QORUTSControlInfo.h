#pragma once

#include <cstdint>
#include <string>

#include "settings/QORUTSNameList.h"

// Description of one control a process offers. The descriptor forms take the plain fields of the
// technology library's control record, so that this layer does not depend on that library.
class QORUTSControlInfo {
 public:
  QORUTSControlInfo() = default;
  QORUTSControlInfo(const QORUTSControlInfo&) = default;
  QORUTSControlInfo& operator=(const QORUTSControlInfo&) = default;
  virtual ~QORUTSControlInfo() = default;

  // Null name gives an empty name; null valueNames gives no value names.
  virtual void SetFromDesc(const char* name, uint32_t value1, uint32_t value2, uint32_t type,
                           float scale, const char* const* valueNames, uint32_t valueNameCount);
  // As SetFromDesc, with the scale derived from the type.
  virtual void SetFromDescScaled(const char* name, uint32_t value1, uint32_t value2, uint32_t type,
                                 const char* const* valueNames, uint32_t valueNameCount);
  virtual void SetName(const std::string& name) { name_ = name; }

  static constexpr uint32_t kPercentType = 2;  // shown scaled by 100

  const std::string& GetName() const { return name_; }
  uint32_t GetValue1() const { return value1_; }
  uint32_t GetValue2() const { return value2_; }
  uint32_t GetType() const { return type_; }
  float GetScale() const { return scale_; }
  const QORUTSNameList& GetValueNames() const { return valueNames_; }

 private:
  std::string name_;
  uint32_t value1_ = 0;
  uint32_t value2_ = 0;
  uint32_t type_ = 0;
  float scale_ = 1.0f;
  QORUTSNameList valueNames_;
};
