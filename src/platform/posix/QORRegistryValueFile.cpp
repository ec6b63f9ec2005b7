#include "platform/posix/QORRegistryValueFile.h"

#include <cstring>

#include "common/QORTextConvert.h"
#include "platform/QORRegistryTypes.h"

namespace {

constexpr uint8_t kMagic[4] = {'Q', 'R', 'V', '1'};
constexpr size_t kHeaderBytes = 12;

void PutU32(std::vector<uint8_t>& out, uint32_t v) {
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<uint8_t>(v >> (8 * i)));
}

uint32_t GetU32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
         (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

}  // namespace

std::vector<uint8_t> QORRegistryValueFile::Serialize(const QORRegistryValue& value) {
  const std::vector<uint8_t> name = QORWideToUtf16LE(value.name);
  std::vector<uint8_t> out(kMagic, kMagic + 4);
  out.reserve(kHeaderBytes + name.size() + value.data.size());
  PutU32(out, value.type);
  PutU32(out, static_cast<uint32_t>(name.size() / 2));
  out.insert(out.end(), name.begin(), name.end());
  out.insert(out.end(), value.data.begin(), value.data.end());
  return out;
}

bool QORRegistryValueFile::Parse(const uint8_t* bytes, size_t size, QORRegistryValue* value) {
  if (bytes == nullptr || size < kHeaderBytes || size > kMaxFileBytes) return false;
  if (std::memcmp(bytes, kMagic, 4) != 0) return false;
  const uint32_t nameUnits = GetU32(bytes + 8);
  if (nameUnits > kQORRegistryMaxValueNameChars) return false;
  const size_t nameBytes = static_cast<size_t>(nameUnits) * 2;
  if (nameBytes > size - kHeaderBytes) return false;
  value->type = GetU32(bytes + 4);
  value->name = QORUtf16LEToWide(bytes + kHeaderBytes, nameBytes);
  value->data.assign(bytes + kHeaderBytes + nameBytes, bytes + size);
  return true;
}
