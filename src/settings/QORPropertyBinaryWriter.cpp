#include "settings/QORPropertyBinaryWriter.h"

#include <cstring>
#include <string>

#include "common/QORTextConvert.h"
#include "settings/QORPropertyValue.h"

namespace {

void AppendU32(uint32_t value, std::vector<uint8_t>& out) {
  for (int shift = 0; shift < 32; shift += 8) out.push_back(static_cast<uint8_t>(value >> shift));
}

template <typename T>
void AppendLittleEndian(T value, std::vector<uint8_t>& out) {
  uint8_t bytes[sizeof(T)];
  std::memcpy(bytes, &value, sizeof(T));  // the platform is little-endian
  out.insert(out.end(), bytes, bytes + sizeof(T));
}

template <typename Bytes>
void AppendBytes(const Bytes& bytes, std::vector<uint8_t>& out) {
  for (const auto b : bytes) out.push_back(static_cast<uint8_t>(b));
}

// The value bytes of a known tag; false when the value cannot be stored.
bool ValueBytes(const boost::any& value, QORPropertyValue::Tag tag, std::vector<uint8_t>& out) {
  switch (tag) {
    case QORPropertyValue::kLong: {
      const long number = boost::any_cast<long>(value);
      if (!QORPropertyValue::InLongRange(number)) return false;
      AppendLittleEndian(static_cast<int32_t>(number), out);
      return true;
    }
    case QORPropertyValue::kInt:
      AppendLittleEndian(static_cast<int32_t>(boost::any_cast<int>(value)), out);
      return true;
    case QORPropertyValue::kShort:
      AppendLittleEndian(static_cast<int16_t>(boost::any_cast<short>(value)), out);
      return true;
    case QORPropertyValue::kFloat:
      AppendLittleEndian(boost::any_cast<float>(value), out);
      return true;
    case QORPropertyValue::kDouble:
      AppendLittleEndian(boost::any_cast<double>(value), out);
      return true;
    case QORPropertyValue::kBool:
      out.push_back(boost::any_cast<bool>(value) ? 1 : 0);
      return true;
    case QORPropertyValue::kString:
      AppendBytes(boost::any_cast<const std::string&>(value), out);
      return true;
    case QORPropertyValue::kWideString:
      QORAppendUtf16LE(boost::any_cast<const std::wstring&>(value), out);
      return true;
    case QORPropertyValue::kCharVector:
      AppendBytes(boost::any_cast<const std::vector<char>&>(value), out);
      return true;
    case QORPropertyValue::kByteVector:
      AppendBytes(boost::any_cast<const std::vector<unsigned char>&>(value), out);
      return true;
    default:
      return false;
  }
}

}  // namespace

bool QORPropertyBinaryWriter::AppendRecord(const PropertyEntry& entry, std::vector<uint8_t>& out) {
  const QORPropertyValue::Tag tag = QORPropertyValue::TagOf(entry.value.type());
  if (tag == QORPropertyValue::kNoTag) return false;
  const size_t keyBytes = QORUtf16Length(entry.key) * 2;
  // A key the reader would reject (or cut to nothing) must not end the whole buffer for it.
  if (keyBytes == 0 || keyBytes > kMaxKeyBytes || entry.key.front() == L'\0') return false;

  std::vector<uint8_t> value;
  if (!ValueBytes(entry.value, tag, value) || value.empty()) return false;
  if (value.size() > UINT32_MAX - keyBytes - 13) return false;

  out.reserve(out.size() + 13 + keyBytes + value.size());
  AppendU32(static_cast<uint32_t>(keyBytes), out);
  AppendU32(1, out);
  AppendU32(static_cast<uint32_t>(value.size()), out);
  QORAppendUtf16LE(entry.key, out);
  out.push_back(static_cast<uint8_t>(tag));
  out.insert(out.end(), value.begin(), value.end());
  return true;
}
