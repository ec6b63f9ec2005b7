// Registry values read as endpoint properties: the first byte picks the registry type, the rest is
// the value's data. A value that reads must store and read back as the same type.
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "platform/QORPropVariantCodec.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const uint32_t type = data[0] % 12;
  PROPVARIANT value;
  if (!QORPropVariantCodec::FromRegistry(type, data + 1, size - 1, &value)) {
    if (value.vt != VT_EMPTY) std::abort();
    return 0;
  }
  uint32_t storedType = 0;
  std::vector<uint8_t> stored;
  if (QORPropVariantCodec::ToRegistry(value, &storedType, &stored)) {
    PROPVARIANT back;
    if (!QORPropVariantCodec::FromRegistry(storedType, stored.data(), stored.size(), &back) ||
        back.vt != value.vt) {
      std::abort();
    }
    PropVariantClear(&back);
  }
  PropVariantClear(&value);
  return 0;
}
