#pragma once

#include <cstdint>
#include <vector>

#include "settings/PropertyEntry.h"

// Writes the stored binary form of property entries: per entry the little-endian u32 lengths
// K, T, D, then the key as UTF-16LE (K bytes), the one-byte type tag (T = 1) and D value bytes.
class QORPropertyBinaryWriter {
 public:
  static constexpr uint32_t kMaxKeyBytes = 2048;

  // Appends the entry's record. Returns false and appends nothing when the entry has no record:
  // a type outside the ten, empty value bytes, an empty key or one longer than a reader accepts,
  // or a long outside the 32-bit range.
  static bool AppendRecord(const PropertyEntry& entry, std::vector<uint8_t>& out);
};
