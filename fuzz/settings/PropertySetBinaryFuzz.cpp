// Feeds arbitrary bytes to the property-set binary readers. Besides memory safety it checks that
// whatever was read writes out again as a buffer that reads back to the same bytes.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "settings/QORPropertySet.h"

namespace {

void Require(bool condition) {
  if (!condition) std::abort();
}

void ReadEveryWay(QORPropertySet& set) {
  PropertyList all;
  set.GetAllProperties(all);
  for (const PropertyEntry& entry : all) {
    std::string text;
    std::wstring wide;
    long number = 0;
    set.GetProperty(entry.key, text);
    set.GetProperty(entry.key, wide);
    if (set.GetProperty(entry.key, number))
      Require(number >= -2147483648L && number <= 2147483647L);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::vector<uint8_t> input(data, data + size);

  QORPropertySet set;
  set.SetAllPropertiesBinary(input);
  ReadEveryWay(set);
  std::vector<uint8_t> written;
  set.GetAllPropertiesBinary(written);
  if (!written.empty()) {
    QORPropertySet again;
    Require(again.SetAllPropertiesBinary(written));
    std::vector<uint8_t> rewritten;
    Require(again.GetAllPropertiesBinary(rewritten));
    Require(rewritten == written);
  }

  QORPropertySet merged;
  merged.SetProperty(L"A", 1L);
  merged.SetProperty(L"key", L"text");
  const bool replaceExisting = size > 0 && (data[0] & 1) != 0;
  const bool addNew = size > 0 && (data[0] & 2) != 0;
  merged.MergePropertiesBinary(input, replaceExisting, addNew);
  ReadEveryWay(merged);
  return 0;
}
