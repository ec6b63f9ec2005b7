#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <typeinfo>
#include <vector>

#include "PropertySetRecorder.h"
#include "settings/QORPropertySet.h"

namespace {

using Bytes = std::vector<uint8_t>;

void U32(uint32_t v, Bytes& out) {
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<uint8_t>(v >> (8 * i)));
}

// A record with explicit length fields, so that tests can also lie about them.
Bytes Raw(uint32_t k, uint32_t t, uint32_t d, const Bytes& body) {
  Bytes out;
  U32(k, out);
  U32(t, out);
  U32(d, out);
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

Bytes TypeName(const std::type_info& type, size_t minimum = 2) {
  const std::string name = type.name();
  Bytes out(name.begin(), name.end());
  out.push_back(0);
  if (out.size() < minimum) out.resize(minimum, 0);
  return out;
}

const Bytes kKeyA = {0x41, 0x00};
const Bytes kKeyB = {0x42, 0x00};
const Bytes kLong5 = {0x05, 0x00, 0x00, 0x00};

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

  // Read back: writing again gives the same bytes, so keys, types and values all survived.
  QORPropertySet copy;
  ASSERT_TRUE(copy.SetAllPropertiesBinary(expected));
  ASSERT_EQ(Entries(copy).size(), 10u);
  EXPECT_EQ(boost::any_cast<std::wstring>(Entries(copy)[7].value), L"\u00E9\U0001F3B5");
  Bytes again;
  ASSERT_TRUE(copy.GetAllPropertiesBinary(again));
  EXPECT_EQ(again, expected);
}

TEST(QORPropertySetBinary, EntriesWithoutRecordMakeWritingFalse) {
  QORPropertySet empty;
  Bytes out = {1};
  EXPECT_TRUE(empty.GetAllPropertiesBinary(out));
  EXPECT_TRUE(out.empty());

  const Bytes a = Record(kKeyA, {0}, kLong5);
  const Bytes b = Record(kKeyB, {0}, kLong5);
  struct Case {
    const char* what;
    boost::any value;
    const wchar_t* key;
  };
  const Case cases[] = {
      {"empty wide text", boost::any(std::wstring()), L"X"},
      {"other type", boost::any(7u), L"X"},
      {"long above 32 bits", boost::any(2147483648L), L"X"},
      {"long below 32 bits", boost::any(-2147483649L), L"X"},
      {"empty key", boost::any(5L), L""},
  };
  for (const Case& c : cases) {
    QORPropertySet set;
    set.SetProperty(L"A", 5L);
    set.SetProperty(c.key, c.value);
    set.SetProperty(L"B", 5L);
    EXPECT_FALSE(set.GetAllPropertiesBinary(out)) << c.what;
    EXPECT_EQ(out, Cat({a, b})) << c.what;
  }
}

TEST(QORPropertySetBinary, ReadsHandBuiltRecords) {
  const Bytes buffer = Cat({
      // Key with a surrogate pair and a NUL that cuts it.
      Record({0x3D, 0xD8, 0x00, 0xDE, 'x', 0, 0, 0, 'y', 0}, {0}, {0x07, 0, 0, 0, 0xAA}),
      // Texts end at their first NUL.
      Record({'s', 0}, {6}, {'a', 'b', 0, 'c'}),
      Record({'w', 0}, {7}, {'a', 0, 0, 0, 'c', 0}),
      // Unknown tag and empty key: whole records without an entry.
      Record({'t', 0}, {10}, {1, 2, 3, 4}),
      Record({0, 0, 'z', 0}, {0}, kLong5),
      // A repeated key gives a second entry.
      Record({'S', 0}, {0}, kLong5),
  });
  QORPropertySet set;
  set.SetProperty(L"gone", 1L);
  PropertySetRecorder recorder;
  set.AddNotify(&recorder);
  ASSERT_TRUE(set.SetAllPropertiesBinary(buffer));
  EXPECT_TRUE(recorder.calls.empty());
  EXPECT_TRUE(set.IsModified());
  const PropertyList all = Entries(set);
  ASSERT_EQ(all.size(), 4u);
  EXPECT_EQ(all[0].key, L"\U0001F600x");
  EXPECT_EQ(boost::any_cast<long>(all[0].value), 7L);
  EXPECT_EQ(boost::any_cast<std::string>(all[1].value), "ab");
  EXPECT_EQ(boost::any_cast<std::wstring>(all[2].value), L"a");
  EXPECT_EQ(all[3].key, L"S");
  set.RemoveNotify(&recorder);
}

TEST(QORPropertySetBinary, ReadsRunTimeTypeNames) {
  const Bytes buffer = Cat({
      Record({'i', 0}, TypeName(typeid(int)), {0xFB, 0xFF, 0xFF, 0xFF}),
      Record({'l', 0}, TypeName(typeid(long), 1024), {0x01, 0x00, 0x00, 0x80}),
      Record({'h', 0}, TypeName(typeid(short)), {0x01, 0x80}),
      Record({'w', 0}, TypeName(typeid(std::wstring)), {0x3C, 0xD8, 0xB5, 0xDF}),
      Record({'x', 0}, {'n', 'o', 'p', 'e'}, kLong5),  // no such type: skipped
  });
  QORPropertySet set;
  ASSERT_TRUE(set.SetAllPropertiesBinary(buffer));
  const PropertyList all = Entries(set);
  ASSERT_EQ(all.size(), 4u);
  EXPECT_EQ(boost::any_cast<int>(all[0].value), -5);
  EXPECT_EQ(boost::any_cast<long>(all[1].value), -2147483647L);
  EXPECT_EQ(boost::any_cast<short>(all[2].value), -32767);
  EXPECT_EQ(boost::any_cast<std::wstring>(all[3].value), L"\U0001F3B5");
}

TEST(QORPropertySetBinary, MalformedInputStopsWithEntriesKept) {
  const Bytes first = Record(kKeyA, {0}, kLong5);
  const Bytes good = Record(kKeyB, {0}, kLong5);
  struct Case {
    const char* what;
    Bytes tail;
  };
  const Case cases[] = {
      {"K = 0", Raw(0, 1, 4, Cat({{0}, kLong5}))},
      {"K above 2048", Raw(2050, 1, 4, Cat({Bytes(2050, 'k'), {0}, kLong5}))},
      {"T = 0", Raw(2, 0, 4, Cat({kKeyB, kLong5}))},
      {"T above 1024", Raw(2, 1025, 4, Cat({kKeyB, Bytes(1025, 0), kLong5}))},
      {"D = 0", Raw(2, 1, 0, Cat({kKeyB, {0}}))},
      {"D shorter than long", Raw(2, 1, 3, Cat({kKeyB, {0}, {5, 0, 0}}))},
      {"D past the end", Raw(2, 1, 100, Cat({kKeyB, {0}, kLong5}))},
      {"D near 2^32", Raw(2, 1, 0xFFFFFFFFu, Cat({kKeyB, {0}, kLong5}))},
      {"half a header", Bytes{2, 0, 0, 0, 1}},
  };
  for (const Case& c : cases) {
    // The bad record is followed by a good one, which must not be reached.
    const Bytes buffer = Cat({first, c.tail, good});
    const Bytes truncated = Cat({first, c.tail});
    for (const Bytes* input : {&buffer, &truncated}) {
      QORPropertySet set;
      set.SetProperty(L"old", 1L);
      set.SetModified(false);
      EXPECT_FALSE(set.SetAllPropertiesBinary(*input)) << c.what;
      EXPECT_TRUE(set.IsModified()) << c.what;
      const PropertyList all = Entries(set);
      ASSERT_EQ(all.size(), 1u) << c.what;
      EXPECT_EQ(all[0].key, L"A") << c.what;
    }
  }

  QORPropertySet set;
  set.SetProperty(L"old", 1L);
  EXPECT_FALSE(set.SetAllPropertiesBinary({}));
  EXPECT_TRUE(Entries(set).empty());
}

TEST(QORPropertySetBinary, MergeGoesThroughSetProperty) {
  const Bytes buffer = Cat({
      Record({'a', 0}, {0}, {2, 0, 0, 0}),
      Record({'n', 0}, {0}, {3, 0, 0, 0}),
      Record({'A', 0}, {0}, {4, 0, 0, 0}),
  });
  QORPropertySet set;
  set.SetProperty(L"A", 1L);
  PropertySetRecorder recorder;
  set.AddNotify(&recorder);

  EXPECT_TRUE(set.MergePropertiesBinary(buffer, true, false));
  EXPECT_EQ(recorder.calls,
            (std::vector<std::string>{"changing:A", "changed:A", "changing:A", "changed:A"}));
  long value = 0;
  ASSERT_TRUE(set.GetProperty(L"a", value));
  EXPECT_EQ(value, 4);  // the last of the repeated key

  // Records before a malformed one are merged.
  recorder.calls.clear();
  const Bytes partial = Cat({Record({'q', 0}, {0}, kLong5), Raw(2, 1, 0, {'r', 0, 0})});
  EXPECT_FALSE(set.MergePropertiesBinary(partial, true, true));
  EXPECT_EQ(recorder.calls, (std::vector<std::string>{"changed:q"}));
  set.RemoveNotify(&recorder);
}

}  // namespace
