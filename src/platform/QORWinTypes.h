#pragma once

#include <cstdint>

#include "platform/QORGuid.h"
#include "platform/QORSystemTypes.h"

// The platform's plain type names as the engine's interfaces spell them.
#ifndef _WIN32
using BYTE = uint8_t;
using BOOL = int32_t;
using UINT = uint32_t;
using UINT32 = uint32_t;
using DWORD = uint32_t;
using ULONG = uint32_t;
using LONG = int32_t;
using WORD = uint16_t;
using FLOAT = float;
using UINT_PTR = uintptr_t;
using HANDLE = void*;
using LPGUID = GUID*;

constexpr BOOL TRUE = 1;
constexpr BOOL FALSE = 0;
#endif
