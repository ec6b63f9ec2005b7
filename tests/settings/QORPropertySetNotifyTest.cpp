#include <gtest/gtest.h>

#include <climits>

#include <cmath>
#include <limits>
#include <string>
#include <tuple>
#include <vector>

#include "settings/QORPropertyControls.h"
#include "settings/QORPropertySet.h"
#include "settings/QORPropertyValue.h"

// What a property set announces and in which order, and the value rules behind it.
namespace {

using Log = std::vector<std::string>;
using Bytes = std::vector<unsigned char>;

// The test's own spelling of the values it writes: type letter and number.
std::string Describe(const boost::any& value) {
  if (const auto* l = boost::any_cast<long>(&value)) return "l" + std::to_string(*l);
  if (const auto* i = boost::any_cast<int>(&value)) return "i" + std::to_string(*i);
  if (const auto* f = boost::any_cast<float>(&value)) {
    return std::isnan(*f) ? "fnan" : "f" + std::to_string(*f);
  }
  return "?";
}

std::string Narrow(const std::wstring& text) {
  return std::string(text.begin(), text.end());
}

// Logs "<name> + <key>=<value>" for a change, "<name> ? <key>=<value>" for a changing call, which
// it answers with `answer`.
class Recorder : public IQORPropertySetNotify {
 public:
  void OnPropertyChanged(QORPropertySet&, const PropertyEntry& entry) override {
    log->push_back(name + " + " + Narrow(entry.key) + "=" + Describe(entry.value));
  }
  bool OnPropertyChanging(QORPropertySet&, const PropertyEntry& entry) override {
    log->push_back(name + " ? " + Narrow(entry.key) + "=" + Describe(entry.value));
    return answer;
  }
  std::string name;
  Log* log = nullptr;
  bool answer = false;
};

TEST(QORPropertySet, ListenersHearAdditionsAndRealChangesInAddressOrder) {
  const float nan = std::numeric_limits<float>::quiet_NaN();
  enum Act { kSet, kAll, kQuiet, kAdd, kReplace, kCopy, kCopySelf, kClear, kBinary, kSetWithoutA };
  const PropertyList a1 = {{L"A", 1L}}, a1b2 = {{L"A", 1L}, {L"B", 2L}},
                     a9b2 = {{L"A", 9L}, {L"B", 2L}};
  struct Row {
    const char* what;
    PropertyList before;  // written one by one, then the log and the modified flag are reset
    Act act;
    PropertyList args;
    std::vector<std::string> events;  // each heard by every listener, lowest address first
    bool modified;
  } rows[] = {
      {"addition", {}, kSet, {{L"Gain", 5L}}, {"+ Gain=l5"}, true},
      {"same, other case", {{L"Gain", 5L}}, kSet, {{L"GAIN", 5L}}, {"? Gain=l5"}, false},
      {"long over int", {{L"Gain", 5}}, kSet, {{L"gain", 5L}}, {"? Gain=l5", "+ Gain=l5"}, true},
      {"nan over nan", {{L"F", nan}}, kSet, {{L"F", nan}}, {"? F=fnan", "+ F=fnan"}, true},
      {"replace all, announced", a1, kAll, a1b2, {"+ A=l1", "+ B=l2"}, true},
      {"replace all, quietly", a1, kQuiet, a9b2, {}, true},
      {"merge adds only", a1, kAdd, a9b2, {"+ B=l2"}, true},
      {"merge replaces only", a1, kReplace, a9b2, {"? A=l9", "+ A=l9"}, true},
      {"copy of another set", a1, kCopy, a9b2, {"+ A=l9", "+ B=l2"}, true},
      {"copy of itself", a1, kCopySelf, {}, {}, false},
      {"clear", a1, kClear, {}, {}, false},
      {"binary content", a1, kBinary, a9b2, {}, true},
      {"one listener removed", {}, kSetWithoutA, {{L"X", 1L}}, {"+ X=l1"}, true}};
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    Log log;
    Recorder listeners[2];
    listeners[0].name = "a";
    listeners[1].name = "b";
    QORPropertySet set;
    // Registered against address order, twice: each is still called once, lowest address first.
    for (Recorder* r : {&listeners[1], &listeners[0], &listeners[1]}) {
      r->log = &log;
      set.AddNotify(r);
    }
    for (const PropertyEntry& entry : row.before) set.SetProperty(entry.key.c_str(), entry.value);
    set.SetModified(false);
    log.clear();
    QORPropertySet other;
    other.SetAllProperties(row.args, false);
    QORPropertySet::Bytes bytes;
    switch (row.act) {
      case kSetWithoutA:
        set.RemoveNotify(&listeners[0]);
        [[fallthrough]];
      case kSet:
        for (const PropertyEntry& e : row.args) set.SetProperty(e.key.c_str(), e.value);
        break;
      case kAll:
      case kQuiet:
        set.SetAllProperties(row.args, row.act == kAll);
        break;
      case kAdd:
      case kReplace:
        set.MergeProperties(row.args, row.act == kReplace, row.act == kAdd);
        break;
      case kCopy:
        set.CopyProperties(other);
        break;
      case kCopySelf:
        set.CopyProperties(set);
        break;
      case kClear:
        set.ClearProperties();
        break;
      case kBinary:
        ASSERT_TRUE(other.GetAllPropertiesBinary(bytes));
        ASSERT_TRUE(set.SetAllPropertiesBinary(bytes));
        break;
    }
    Log expected;
    for (const std::string& event : row.events) {
      if (row.act != kSetWithoutA) expected.push_back("a " + event);
      expected.push_back("b " + event);
    }
    EXPECT_EQ(log, expected);
    EXPECT_EQ(set.IsModified(), row.modified);
  }
  // The set keeps the first spelling of a key; a changing call answers true when any listener did.
  QORPropertySet set;
  Log log;
  Recorder yes, no;
  yes.log = no.log = &log;
  yes.answer = true;
  set.SetProperty(L"Gain", 5L);
  set.SetProperty(L"GAIN", 6L);
  PropertyList all;
  set.GetAllProperties(all);
  ASSERT_EQ(all.size(), 1u);
  EXPECT_EQ(all[0].key, L"Gain");
  EXPECT_FALSE(set.NotifyChanging(all[0]));
  set.AddNotify(&no);
  EXPECT_FALSE(set.NotifyChanging(all[0]));
  set.AddNotify(&yes);
  EXPECT_TRUE(set.NotifyChanging(all[0]));
}

TEST(QORPropertyValue, EqualityAndConversionsFollowTheHeldType) {
  const float nanf = std::numeric_limits<float>::quiet_NaN();
  struct Equality {
    boost::any a, b;
    bool equal;
  } equalities[] = {
      {5L, 5L, true},
      {5L, 5, false},
      {short{5}, short{5}, true},
      {true, true, true},
      {1.0f, 1.0f, true},
      {1.0f, 1.0, false},
      {nanf, nanf, false},
      {std::numeric_limits<double>::quiet_NaN(), std::numeric_limits<double>::quiet_NaN(), false},
      {std::string("a"), std::string("A"), false},
      {std::wstring(L"ab"), std::wstring(L"ab"), true},
      {Bytes{1, 2}, Bytes{1, 2}, true},
      {Bytes{1}, Bytes{1, 2}, false},
      {std::vector<char>{'x'}, Bytes{'x'}, false},
      {'x', 'x', false},  // not a property type
      {boost::any(), boost::any(), false}};
  for (size_t i = 0; i < std::size(equalities); ++i) {
    EXPECT_EQ(QORPropertyValue::Equal(equalities[i].a, equalities[i].b), equalities[i].equal)
        << "row " << i;
  }
  struct Conversion {
    boost::any value;
    bool toLong;
    long number;       // when toLong
    const char* text;  // nullptr: no text form
  } conversions[] = {
    {-7, true, -7, "-7"},
    {short{-2}, true, -2, "-2"},
    {5L, true, 5, "5"},
#if LONG_MAX > 2147483647L  // a long past 32 bits exists only where long is wider
    {2147483648L, false, 0, "2147483648"},
#endif
    {std::string("-2147483648"), true, -2147483648L, "-2147483648"},
    {std::string("2147483648"), false, 0, "2147483648"},
    {std::string(" 5"), false, 0, " 5"},
    {std::string("+12"), true, 12, "+12"},
    {std::string("12a"), false, 0, "12a"},
    {std::wstring(L"42"), true, 42, "42"},
    {true, true, 1, "1"},
    {false, true, 0, "0"},
    {0.1f, false, 0, "0.100000001"},
    {0.1, false, 0, "0.10000000000000001"},
    {Bytes{0x0A, 0xFF}, false, 0, "0AFF"},
    {std::vector<char>{'\x01', '\x7F'}, false, 0, "017F"},
    {'x', false, 0, nullptr}
  };
  for (size_t i = 0; i < std::size(conversions); ++i) {
    const Conversion& row = conversions[i];
    SCOPED_TRACE(::testing::Message() << "row " << i);
    long number = 777;
    EXPECT_EQ(QORPropertyValue::ToLong(row.value, number), row.toLong);
    EXPECT_EQ(number, row.toLong ? row.number : 777);
    std::string text = "old";
    std::wstring wide = L"old";
    EXPECT_EQ(QORPropertyValue::ToText(row.value, text), row.text != nullptr);
    EXPECT_EQ(QORPropertyValue::ToWide(row.value, wide), row.text != nullptr);
    EXPECT_EQ(text, row.text ? row.text : "");
    EXPECT_EQ(Narrow(wide), row.text ? row.text : "");
  }
}

TEST(QORPropertyControls, EntriesBecomeControlsOfLongOrText) {
  struct Row {
    boost::any value;
    const char* text;  // nullptr: no control form
    bool isLong;
  } rows[] = {{5L, "5", true},
              {-3, "-3", true},
              {short{7}, "7", true},
              {std::string("x"), "x", false},
              {std::wstring(L"\u00e9"), "\xc3\xa9", false},
              {1.5f, nullptr, false},
              {true, nullptr, false},
              {Bytes{1}, nullptr, false}};
  for (size_t i = 0; i < std::size(rows); ++i) {
    SCOPED_TRACE(::testing::Message() << "row " << i);
    QORUTSValue control("untouched", "old");
    ASSERT_EQ(QORPropertyControls::ToControl(PropertyEntry(L"Gain", rows[i].value), control),
              rows[i].text != nullptr);
    EXPECT_EQ(control.GetName(), rows[i].text ? "Gain" : "untouched");
    EXPECT_EQ(control.GetValueText(), rows[i].text ? rows[i].text : "old");
    EXPECT_EQ(control.GetValue().type() == typeid(long), rows[i].isLong);
  }
  // Into an empty list every convertible entry goes; into a filled one only the values of the
  // controls already there change, matched without regard to letter case.
  QORPropertySet set;
  set.SetProperty(L"Gain", 4L);
  set.SetProperty(L"Mode", "Movie");
  set.SetProperty(L"Ratio", 0.5f);
  QORUTSValueList empty;
  QORPropertyControls::CarryInto(set, empty);
  EXPECT_EQ(empty.Size(), 2u);
  EXPECT_EQ(empty.Find("Gain")->GetValueText(), "4");
  EXPECT_EQ(empty.Find("Mode")->GetValueText(), "Movie");
  const std::tuple<const char*, const char*, const char*> controls[] = {
      {"GAIN", "0", "4"}, {"Ratio", "1", "1"}, {"Other", "2", "2"}};  // name, before, after
  QORUTSValueList filled;
  for (const auto& [name, before, after] : controls) filled.Set(QORUTSValue(name, before));
  QORPropertyControls::CarryInto(set, filled);
  EXPECT_EQ(filled.Size(), 3u);
  for (const auto& [name, before, after] : controls)
    EXPECT_EQ(filled.Find(name)->GetValueText(), after) << name;
  EXPECT_EQ(filled.Find("Gain"), nullptr);
}

}  // namespace
