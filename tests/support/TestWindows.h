#pragma once
// windows.h for the tests' own Windows code, without its min and max macros and its rarely used
// parts. Only for files that call Windows themselves: its macros rename functions.
#ifdef _WIN32
#ifndef NOMINMAX
#define NOMINMAX
#endif
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#endif
