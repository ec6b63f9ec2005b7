#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "platform/QORPropVariant.h"

// How a property value is kept as a registry value: text as REG_SZ, an unsigned 32-bit number as
// REG_DWORD, anything else as REG_BINARY holding the type (u16 LE), two zero bytes and the payload
// (numbers little-endian, a GUID in its 16-byte layout, a blob as it is).
class QORPropVariantCodec {
 public:
  // False for types that cannot be stored.
  static bool ToRegistry(const PROPVARIANT& value, uint32_t* type, std::vector<uint8_t>* data);
  // Reads any registry value into an initialised variant: REG_SZ and REG_EXPAND_SZ as text,
  // REG_DWORD as VT_UI4, REG_QWORD as VT_UI8, a REG_BINARY in the stored form as its type, any
  // other REG_BINARY as VT_BLOB. False (and VT_EMPTY) for anything else.
  static bool FromRegistry(uint32_t type, const uint8_t* data, size_t size, PROPVARIANT* value);
};
