#pragma once

#include <cstdint>

#ifdef _WIN32
#include "platform/QORComTypes.h"
#else
enum EDataFlow : int32_t { eRender = 0, eCapture = 1, eAll = 2 };
enum ERole : int32_t { eConsole = 0, eMultimedia = 1, eCommunications = 2 };
constexpr int32_t ERole_enum_count = 3;

constexpr uint32_t DEVICE_STATE_ACTIVE = 0x1;
constexpr uint32_t DEVICE_STATE_DISABLED = 0x2;
constexpr uint32_t DEVICE_STATE_NOTPRESENT = 0x4;
constexpr uint32_t DEVICE_STATE_UNPLUGGED = 0x8;
constexpr uint32_t DEVICE_STATEMASK_ALL = 0xF;
#endif  // _WIN32
