#pragma once

// On Windows the platform's plain types, result codes and registry constants are the system's
// own. Only the type headers are taken (no windows.h), so no function-name macro such as
// CreateEvent reaches the host's code.
#ifdef _WIN32
#ifndef NOMINMAX
#define NOMINMAX
#endif
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <guiddef.h>
#include <windef.h>
#include <winerror.h>
#endif
