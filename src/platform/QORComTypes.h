#pragma once

// On Windows the COM root, the property store, PROPVARIANT, the MMDevice family and the wave-format
// records are the system's own. Their headers bring windows.h with them; the one function-name
// macro that meets a name of ours is taken back.
#ifdef _WIN32
#include "platform/QORSystemTypes.h"
// clang-format off
#include <unknwn.h>
#include <objbase.h>
#include <propidl.h>
#include <propsys.h>
#include <propvarutil.h>
#include <mmdeviceapi.h>
#include <mmreg.h>
// clang-format on
#undef CreateProcess
#endif
