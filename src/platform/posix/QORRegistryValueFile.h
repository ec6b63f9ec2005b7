#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

struct QORRegistryValue {
  std::wstring name;  // spelling as first written
  uint32_t type = 0;
  std::vector<uint8_t> data;
};

// The stored form of one value: "QRV1", type (u32 LE), name length in UTF-16 units (u32 LE), the
// name in UTF-16LE, then the data to the end of the file.
class QORRegistryValueFile {
 public:
  static constexpr size_t kMaxFileBytes = 64u << 20;

  static std::vector<uint8_t> Serialize(const QORRegistryValue& value);
  // False for anything that is not a complete stored value.
  static bool Parse(const uint8_t* bytes, size_t size, QORRegistryValue* value);
};
