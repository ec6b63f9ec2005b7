#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "platform/QORGuid.h"

#ifdef _WIN32
#include "platform/QORComTypes.h"
#else
struct PROPERTYKEY {
  GUID fmtid;
  uint32_t pid;

  friend bool operator==(const PROPERTYKEY& a, const PROPERTYKEY& b) = default;
};
using REFPROPERTYKEY = const PROPERTYKEY&;
#endif

// The registry name of a property: "{fmtid},pid" with the pid in decimal.
std::wstring QORPropertyKeyToString(const PROPERTYKEY& key);
bool QORPropertyKeyFromString(std::wstring_view text, PROPERTYKEY* key);

constexpr PROPERTYKEY PKEY_Device_FriendlyName = {
    {0xa45c254e, 0xdf1c, 0x4efd, {0x80, 0x20, 0x67, 0xd1, 0x46, 0xa8, 0x50, 0xe0}}, 14};
constexpr PROPERTYKEY PKEY_Device_DeviceDesc = {
    {0xa45c254e, 0xdf1c, 0x4efd, {0x80, 0x20, 0x67, 0xd1, 0x46, 0xa8, 0x50, 0xe0}}, 2};
