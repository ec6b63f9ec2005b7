#pragma once

#include <cstdint>
#include <vector>

#include "settings/QORUTSControlInfo.h"
#include "settings/QORUTSValue.h"

// How control values reach an element of a chain.
class IQORUTSController {
 public:
  virtual ~IQORUTSController() = default;
  // Fills value with the current setting of the control named by value's name.
  virtual bool GetControl(QORUTSValue& value) = 0;
  // False when the control is not this element's.
  virtual bool SetControl(const QORUTSValue& value) = 0;
  // Replaces list by the element's control descriptions; returns their number.
  virtual int32_t GetControlInfo(std::vector<QORUTSControlInfo>& list) = 0;
};
