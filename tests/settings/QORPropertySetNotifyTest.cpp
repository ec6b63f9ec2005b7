#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <limits>
#include <string>
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

// Logs "<name> changed|changing <key>=<value>"; answers changing calls with `answer`.
class Recorder : public IQORPropertySetNotify {
 public:
  void OnPropertyChanged(QORPropertySet&, const PropertyEntry& entry) override {
    log->push_back(name + " changed " + Narrow(entry.key) + "=" + Describe(entry.value));
  }
  bool OnPropertyChanging(QORPropertySet&, const PropertyEntry& entry) override {
    log->push_back(name + " changing " + Narrow(entry.key) + "=" + Describe(entry.value));
    return answer;
  }
  std::string name;
  Log* log = nullptr;
  bool answer = false;
};

PropertyList List(std::initializer_list<std::pair<const wchar_t*, long>> items) {
  PropertyList list;
  for (const auto& [key, value] : items) list.emplace_back(key, boost::any(value));
  return list;
}

TEST(QORPropertySet, ListenersHearAdditionsAndRealChangesInAddressOrder) {
  const float nan = std::numeric_limits<float>::quiet_NaN();
  struct Row {
    const char* what;
    std::function<void(QORPropertySet&)> before, act;
    Log expected;  // listener "a" has the lower address
    bool modified;
    bool dropA = false;  // listener "a" removed before the act
  } rows[] = {
      {"addition",
       {},
       [](QORPropertySet& s) { s.SetProperty(L"Gain", 5L); },
       {"a changed Gain=l5", "b changed Gain=l5"},
       true},
      {"same value, other case",
       [](QORPropertySet& s) { s.SetProperty(L"Gain", 5L); },
       [](QORPropertySet& s) { s.SetProperty(L"GAIN", 5L); },
       {"a changing Gain=l5", "b changing Gain=l5"},
       false},
      {"long over int",
       [](QORPropertySet& s) { s.SetProperty(L"Gain", boost::any(5)); },
       [](QORPropertySet& s) { s.SetProperty(L"gain", 5L); },
       {"a changing Gain=l5", "b changing Gain=l5", "a changed Gain=l5", "b changed Gain=l5"},
       true},
      {"nan over nan",
       [&](QORPropertySet& s) { s.SetProperty(L"F", boost::any(nan)); },
       [&](QORPropertySet& s) { s.SetProperty(L"F", boost::any(nan)); },
       {"a changing F=fnan", "b changing F=fnan", "a changed F=fnan", "b changed F=fnan"},
       true},
      {"replace all, announced",
       [](QORPropertySet& s) { s.SetProperty(L"A", 1L); },
       [](QORPropertySet& s) {
         s.SetAllProperties(List({{L"A", 1}, {L"B", 2}}), true);
       },
       {"a changed A=l1", "b changed A=l1", "a changed B=l2", "b changed B=l2"},
       true},
      {"replace all, quietly",
       {},
       [](QORPropertySet& s) {
         s.SetAllProperties(List({{L"A", 1}}), false);
       },
       {},
       true},
      {"merge adds only",
       [](QORPropertySet& s) { s.SetProperty(L"A", 1L); },
       [](QORPropertySet& s) {
         s.MergeProperties(List({{L"A", 9}, {L"B", 2}}), false, true);
       },
       {"a changed B=l2", "b changed B=l2"},
       true},
      {"merge replaces only",
       [](QORPropertySet& s) { s.SetProperty(L"A", 1L); },
       [](QORPropertySet& s) {
         s.MergeProperties(List({{L"A", 9}, {L"B", 2}}), true, false);
       },
       {"a changing A=l9", "b changing A=l9", "a changed A=l9", "b changed A=l9"},
       true},
      {"copy of itself",
       [](QORPropertySet& s) { s.SetProperty(L"A", 1L); },
       [](QORPropertySet& s) { s.CopyProperties(s); },
       {},
       false},
      {"clear",
       [](QORPropertySet& s) { s.SetProperty(L"A", 1L); },
       [](QORPropertySet& s) { s.ClearProperties(); },
       {},
       false},
      {"binary content",
       {},
       [](QORPropertySet& s) {
         QORPropertySet source;
         source.SetProperty(L"A", 1L);
         QORPropertySet::Bytes bytes;
         ASSERT_TRUE(source.GetAllPropertiesBinary(bytes));
         ASSERT_TRUE(s.SetAllPropertiesBinary(bytes));
       },
       {},
       true},
      {"one listener removed",
       {},
       [](QORPropertySet& s) { s.SetProperty(L"X", 1L); },
       {"b changed X=l1"},
       true,
       true},
  };
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
    if (row.before) row.before(set);
    set.SetModified(false);
    log.clear();
    if (row.dropA) set.RemoveNotify(&listeners[0]);
    row.act(set);
    EXPECT_EQ(log, row.expected);
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
      {boost::any(), boost::any(), false},
  };
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
      {2147483648L, false, 0, "2147483648"},
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
      {'x', false, 0, nullptr},
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
  } rows[] = {
      {5L, "5", true},
      {-3, "-3", true},
      {short{7}, "7", true},
      {std::string("x"), "x", false},
      {std::wstring(L"\u00e9"), "\xc3\xa9", false},
      {1.5f, nullptr, false},
      {true, nullptr, false},
      {Bytes{1}, nullptr, false},
  };
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
  QORUTSValueList filled;
  filled.Set(QORUTSValue("GAIN", "0"));
  filled.Set(QORUTSValue("Ratio", "1"));
  filled.Set(QORUTSValue("Other", "2"));
  QORPropertyControls::CarryInto(set, filled);
  EXPECT_EQ(filled.Size(), 3u);
  EXPECT_EQ(filled.Find("GAIN")->GetValueText(), "4");
  EXPECT_EQ(filled.Find("Ratio")->GetValueText(), "1");
  EXPECT_EQ(filled.Find("Other")->GetValueText(), "2");
  EXPECT_EQ(filled.Find("Gain"), nullptr);
}

}  // namespace
