#pragma once

#include "platform/win32/QORWin32.h"

// The security of the named objects and pipe instances this backend makes.
class QORWin32Security {
 public:
  // The host's objects are meant for every process that takes part in audio, which runs under
  // other accounts than the user's tools. Rather than no DACL at all (which also lets anyone
  // change the object's security), everyone may use the objects and only the system and
  // administrators may do more. Null, for default security, if the descriptor cannot be made.
  static SECURITY_ATTRIBUTES* ForNamedObjects();
};
