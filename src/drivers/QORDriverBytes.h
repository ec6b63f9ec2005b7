#pragma once

#include <cstdint>
#include <cstring>
#include <string>

#include "platform/QORGuid.h"

// The drivers' requests and answers are little-endian byte layouts; these read and write their
// fields at any alignment.
class QORDriverBytes {
 public:
  static void PutU32(uint8_t* at, uint32_t value) { std::memcpy(at, &value, sizeof value); }

  static uint32_t GetU32(const uint8_t* at) {
    uint32_t value = 0;
    std::memcpy(&value, at, sizeof value);
    return value;
  }

  // Little-endian fields, then the eight bytes as they are.
  static void PutGuid(uint8_t* at, const GUID& guid) {
    PutU32(at, guid.Data1);
    at[4] = static_cast<uint8_t>(guid.Data2);
    at[5] = static_cast<uint8_t>(guid.Data2 >> 8);
    at[6] = static_cast<uint8_t>(guid.Data3);
    at[7] = static_cast<uint8_t>(guid.Data3 >> 8);
    std::memcpy(at + 8, guid.Data4, 8);
  }

  static GUID GetGuid(const uint8_t* at) {
    GUID guid{};
    guid.Data1 = GetU32(at);
    guid.Data2 = static_cast<uint16_t>(at[4] | (at[5] << 8));
    guid.Data3 = static_cast<uint16_t>(at[6] | (at[7] << 8));
    std::memcpy(guid.Data4, at + 8, 8);
    return guid;
  }

  // A NUL-terminated text field that the driver may have filled to the end without the NUL.
  static std::string FieldText(const uint8_t* at, size_t chars) {
    const char* text = reinterpret_cast<const char*>(at);
    return std::string(text, strnlen(text, chars));
  }
};
