#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <typeinfo>
#include <vector>

#include "PropertySetRecorder.h"
#include "settings/QORPropertySet.h"

namespace {

using Bytes = std::vector<uint8_t>;

// A record with explicit length fields, so that tests can also lie about them.
Bytes Raw(uint32_t k, uint32_t t, uint32_t d, const Bytes& body) {
  Bytes out;
  for (const uint32_t v : {k, t, d}) {
    for (int i = 0; i < 4; ++i) out.push_back(static_cast<uint8_t>(v >> (8 * i)));
  }
  out.insert(out.end(), body.begin(), body.end());
  return out;
}

Bytes Cat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes& part : parts) out.insert(out.end(), part.begin(), part.end());
  return out;
}

// A well-formed record: UTF-16LE key bytes, a type field and value bytes.
Bytes Record(const Bytes& key, const Bytes& type, const Bytes& value) {
  return Raw(static_cast<uint32_t>(key.size()), static_cast<uint32_t>(type.size()),
             static_cast<uint32_t>(value.size()), Cat({key, type, value}));
}

const Bytes kKeyB = {0x42, 0x00};
const Bytes kLong5 = {0x05, 0x00, 0x00, 0x00};
const Bytes kA5 = Record({0x41, 0x00}, {0}, kLong5);
const Bytes kB5 = Record(kKeyB, {0}, kLong5);

TEST(QORPropertySetBinary, OneLongUnderA) {
  QORPropertySet set;
  set.SetProperty(L"A", -2L);
  Bytes out = {0xEE};
  ASSERT_TRUE(set.GetAllPropertiesBinary(out));
  const Bytes expected = {0x02, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x04, 0x00,
                          0x00, 0x00, 0x41, 0x00, 0x00, 0xFE, 0xFF, 0xFF, 0xFF};
  EXPECT_EQ(out, expected);
}

TEST(QORPropertySetBinary, WritesEveryTypeByteExact) {
  QORPropertySet set;
  set.SetProperty(L"L", 2147483647L);
  set.SetProperty(L"I", boost::any(static_cast<int>(0x01020304)));
  set.SetProperty(L"S", boost::any(static_cast<short>(-2)));
  set.SetProperty(L"F", 1.0f);
  set.SetProperty(L"D", -2.0);
  set.SetProperty(L"B", true);
  set.SetProperty(L"\u00E9", "hi");
  set.SetProperty(L"\U0001F3B5", L"\u00E9\U0001F3B5");
  set.SetProperty(L"C", boost::any(std::vector<char>{0, 'x'}));
  set.SetProperty(L"U", boost::any(std::vector<unsigned char>{0xFF}));
  const Bytes expected = Cat({
      Record({'L', 0}, {0}, {0xFF, 0xFF, 0xFF, 0x7F}),
      Record({'I', 0}, {1}, {0x04, 0x03, 0x02, 0x01}),
      Record({'S', 0}, {2}, {0xFE, 0xFF}),
      Record({'F', 0}, {3}, {0x00, 0x00, 0x80, 0x3F}),
      Record({'D', 0}, {4}, {0, 0, 0, 0, 0, 0, 0x00, 0xC0}),
      Record({'B', 0}, {5}, {0x01}),
      Record({0xE9, 0x00}, {6}, {'h', 'i'}),
      Record({0x3C, 0xD8, 0xB5, 0xDF}, {7}, {0xE9, 0x00, 0x3C, 0xD8, 0xB5, 0xDF}),
      Record({'C', 0}, {8}, {0x00, 'x'}),
      Record({'U', 0}, {9}, {0xFF}),
  });
  Bytes out;
  ASSERT_TRUE(set.GetAllPropertiesBinary(out));
  EXPECT_EQ(out, expected);
}

// Longs outside 32 bits and keys the reader would refuse get no record; the others still do.
TEST(QORPropertySetBinary, EntriesWithoutRecordMakeWritingFalse) {
  const std::pair<std::wstring, long> cases[] = {
      {L"X", 2147483648L},
      {L"X", -2147483649L},
      {L"", 5L},
      {std::wstring(1025, L'k'), 5L},
      {std::wstring(L"\0k", 2), 5L},
  };
  for (size_t i = 0; i < std::size(cases); ++i) {
    QORPropertySet set;
    set.SetProperty(L"A", 5L);
    set.SetProperty(cases[i].first, cases[i].second);
    set.SetProperty(L"B", 5L);
    Bytes out;
    EXPECT_FALSE(set.GetAllPropertiesBinary(out)) << i;
    EXPECT_EQ(out, Cat({kA5, kB5})) << i;
  }
}

TEST(QORPropertySetBinary, ReadsSurrogateKeyAndRunTimeTypeName) {
  const std::string longName = typeid(long).name();
  Bytes longType(longName.begin(), longName.end());
  longType.push_back(0);
  const Bytes buffer = Cat({
      Record({0x3D, 0xD8, 0x00, 0xDE, 'x', 0}, {0}, {0x07, 0, 0, 0}),
      Record({'l', 0}, longType, {0x01, 0x00, 0x00, 0x80}),
  });
  QORPropertySet set;
  set.SetProperty(L"gone", 1L);
  ASSERT_TRUE(set.SetAllPropertiesBinary(buffer));
  const PropertyList all = Entries(set);
  ASSERT_EQ(all.size(), 2u);
  EXPECT_EQ(all[0].key, L"\U0001F600x");
  EXPECT_EQ(boost::any_cast<long>(all[0].value), 7L);
  EXPECT_EQ(boost::any_cast<long>(all[1].value), -2147483647L);
}

TEST(QORPropertySetBinary, MalformedInputStopsWithEntriesKept) {
  const std::pair<const char*, Bytes> cases[] = {
      {"half a header", Bytes{2, 0, 0, 0, 1}},
      {"K above 2048", Raw(2050, 1, 4, Cat({Bytes(2050, 'k'), {0}, kLong5}))},
      {"T = 0", Raw(2, 0, 4, Cat({kKeyB, kLong5}))},
      {"T above 1024", Raw(2, 1025, 4, Cat({kKeyB, Bytes(1025, 0), kLong5}))},
      {"D shorter than long", Raw(2, 1, 3, Cat({kKeyB, {0}, {5, 0, 0}}))},
      {"D past the end", Raw(2, 1, 100, Cat({kKeyB, {0}, kLong5}))},
  };
  for (const auto& [what, bad] : cases) {
    QORPropertySet set;
    set.SetProperty(L"old", 1L);
    // The good record after the bad one must not be reached.
    EXPECT_FALSE(set.SetAllPropertiesBinary(Cat({kA5, bad, kB5}))) << what;
    const PropertyList all = Entries(set);
    ASSERT_EQ(all.size(), 1u) << what;
    EXPECT_EQ(all[0].key, L"A") << what;
  }
  QORPropertySet set;
  set.SetProperty(L"old", 1L);
  EXPECT_FALSE(set.SetAllPropertiesBinary({}));
  EXPECT_TRUE(Entries(set).empty());
  EXPECT_FALSE(set.SetAllPropertiesBinary(Cat({kA5, {0}})));  // one stray byte
}

}  // namespace
