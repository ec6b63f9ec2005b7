// Stored registry value files: whatever is on disk must parse safely, and what parses must store
// back to the same bytes.
#include <cstdint>
#include <cstdlib>

#include "platform/posix/QORRegistryValueFile.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  QORRegistryValue value;
  if (!QORRegistryValueFile::Parse(data, size, &value)) return 0;
  QORRegistryValue again;
  const std::vector<uint8_t> stored = QORRegistryValueFile::Serialize(value);
  if (!QORRegistryValueFile::Parse(stored.data(), stored.size(), &again)) std::abort();
  if (again.name != value.name || again.type != value.type || again.data != value.data) {
    std::abort();
  }
  return 0;
}
