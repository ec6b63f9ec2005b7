#pragma once

#include <cstddef>
#include <cstdint>

#include "settings/PropertyEntry.h"

// Walks the records of a stored binary buffer without ever reading past its end.
class QORPropertyBinaryReader {
 public:
  enum class Result {
    kEntry,      // entry holds a key and a value
    kSkipped,    // a whole record without a usable key or value (unknown type, empty key)
    kEnd,        // no bytes left
    kMalformed,  // the bytes at the position are no record; reading must stop
  };

  static constexpr uint32_t kHeaderBytes = 12;
  static constexpr uint32_t kMaxKeyBytes = 2048;
  static constexpr uint32_t kMaxTypeBytes = 1024;

  QORPropertyBinaryReader(const uint8_t* data, size_t size) : data_(data), size_(size) {}

  // Reads the record at the position and steps over it unless it is malformed.
  Result Next(PropertyEntry& entry);
  size_t Position() const { return position_; }

 private:
  const uint8_t* data_;
  size_t size_;
  size_t position_ = 0;
};
