#pragma once

#include <string>

#include "platform/win32/QORWin32.h"

// The system's own words for an error code, in UTF-8, without the trailing line break.
class QORWin32ErrorText {
 public:
  static std::string Of(DWORD code);
};
