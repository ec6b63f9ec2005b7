#include "settings/QORPropertyBinaryReader.h"

#include <cstring>
#include <string>
#include <string_view>
#include <typeinfo>
#include <vector>

#include "common/QORTextConvert.h"
#include "settings/QORPropertyValue.h"

namespace {

uint32_t ReadU32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
         static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}

template <typename T>
T ReadLittleEndian(const uint8_t* p) {
  T value;
  std::memcpy(&value, p, sizeof(T));  // the platform is little-endian
  return value;
}

// Bytes of UTF-16LE text up to its first NUL code unit.
size_t Utf16BytesBeforeNul(const uint8_t* p, size_t bytes) {
  for (size_t i = 0; i + 1 < bytes; i += 2) {
    if (p[i] == 0 && p[i + 1] == 0) return i;
  }
  return bytes;
}

// Run-time type names as this platform spells them, in the order they are tried.
QORPropertyValue::Tag TagFromTypeName(std::string_view name) {
  static const std::type_info* const kTypes[] = {&typeid(int),
                                                 &typeid(long),
                                                 &typeid(short),
                                                 &typeid(float),
                                                 &typeid(double),
                                                 &typeid(bool),
                                                 &typeid(std::wstring),
                                                 &typeid(std::string),
                                                 &typeid(std::vector<char>),
                                                 &typeid(std::vector<unsigned char>)};
  for (const std::type_info* type : kTypes) {
    if (name == type->name()) return QORPropertyValue::TagOf(*type);
  }
  return QORPropertyValue::kNoTag;
}

size_t FixedSize(int tag) {
  switch (tag) {
    case QORPropertyValue::kLong:
    case QORPropertyValue::kInt:
    case QORPropertyValue::kFloat:
      return 4;
    case QORPropertyValue::kShort:
      return 2;
    case QORPropertyValue::kDouble:
      return 8;
    case QORPropertyValue::kBool:
      return 1;
    default:
      return 0;
  }
}

boost::any MakeValue(int tag, const uint8_t* p, size_t size) {
  switch (tag) {
    case QORPropertyValue::kLong:
      return static_cast<long>(ReadLittleEndian<int32_t>(p));
    case QORPropertyValue::kInt:
      return static_cast<int>(ReadLittleEndian<int32_t>(p));
    case QORPropertyValue::kShort:
      return static_cast<short>(ReadLittleEndian<int16_t>(p));
    case QORPropertyValue::kFloat:
      return ReadLittleEndian<float>(p);
    case QORPropertyValue::kDouble:
      return ReadLittleEndian<double>(p);
    case QORPropertyValue::kBool:
      return p[0] != 0;
    case QORPropertyValue::kString: {
      const auto* text = reinterpret_cast<const char*>(p);
      return std::string(text, strnlen(text, size));
    }
    case QORPropertyValue::kWideString:
      return QORUtf16LEToWide(p, Utf16BytesBeforeNul(p, size));
    case QORPropertyValue::kCharVector:
      return std::vector<char>(p, p + size);
    case QORPropertyValue::kByteVector:
      return std::vector<unsigned char>(p, p + size);
    default:
      return boost::any();
  }
}

}  // namespace

QORPropertyBinaryReader::Result QORPropertyBinaryReader::Next(PropertyEntry& entry) {
  if (position_ >= size_) return Result::kEnd;
  const size_t left = size_ - position_;
  if (left < kHeaderBytes) return Result::kMalformed;
  const uint8_t* record = data_ + position_;
  const uint32_t keyBytes = ReadU32(record);
  const uint32_t typeBytes = ReadU32(record + 4);
  const uint32_t valueBytes = ReadU32(record + 8);
  if (valueBytes == 0 || keyBytes < 1 || keyBytes > kMaxKeyBytes || typeBytes < 1 ||
      typeBytes > kMaxTypeBytes) {
    return Result::kMalformed;
  }
  const uint64_t recordBytes = uint64_t{kHeaderBytes} + keyBytes + typeBytes + valueBytes;
  if (recordBytes > left) return Result::kMalformed;

  const uint8_t* key = record + kHeaderBytes;
  const uint8_t* type = key + keyBytes;
  const uint8_t* value = type + typeBytes;
  int tag = QORPropertyValue::kNoTag;
  if (typeBytes == 1) {
    tag = type[0];
  } else {
    const auto* name = reinterpret_cast<const char*>(type);
    tag = TagFromTypeName(std::string_view(name, strnlen(name, typeBytes)));
  }
  // A fixed-size value needs all its bytes; fewer mean a damaged record, not a short number.
  if (valueBytes < FixedSize(tag)) return Result::kMalformed;

  position_ += static_cast<size_t>(recordBytes);
  entry.key = QORUtf16LEToWide(key, Utf16BytesBeforeNul(key, keyBytes));
  entry.value = MakeValue(tag, value, valueBytes);
  if (entry.key.empty() || entry.value.empty()) return Result::kSkipped;
  return Result::kEntry;
}
