#include <gtest/gtest.h>

#include <limits>
#include <optional>
#include <thread>
#include <tuple>
#include <vector>

#include "PropertySetRecorder.h"
#include "settings/QORPropertySet.h"
#include "settings/QORPropertySetThreadsafe.h"

namespace {

TEST(QORPropertySet, KeysIgnoreAsciiCaseAndKeepFirstSpelling) {
  QORPropertySet set;
  PropertySetRecorder recorder;
  set.AddNotify(&recorder);
  set.AddNotify(&recorder);  // one registration
  set.SetProperty(L"Gain", 5L);
  set.SetProperty(L"gAIN", 5L);
  EXPECT_EQ(recorder.calls, (Calls{"changed:Gain", "changing:Gain"}));
  set.SetProperty(L"\u00C4", 1L);  // only ASCII letters fold
  set.SetProperty(L"\u00E4", 1L);
  const PropertyList all = Entries(set);
  ASSERT_EQ(all.size(), 3u);
  EXPECT_EQ(all[0].key, L"Gain");
  EXPECT_FALSE(QORPropertySet::KeysEqual(L"ab", L"a"));
  EXPECT_FALSE(QORPropertySet::KeysEqual(L"a", L"ab"));
}

TEST(QORPropertySet, ChangesAreAnnouncedByTypeAndValue) {
  const float nan = std::numeric_limits<float>::quiet_NaN();
  const std::tuple<const char*, boost::any, boost::any, bool> cases[] = {
      {"int then long", boost::any(5), boost::any(5L), true},
      {"NaN never equals", boost::any(nan), boost::any(nan), true},
      {"texts compare with case", boost::any(std::string("Abc")), boost::any(std::string("abc")),
       true},
      {"equal vectors", boost::any(std::vector<char>{1, 2}), boost::any(std::vector<char>{1, 2}),
       false},
      {"type outside the ten", boost::any(7u), boost::any(7u), true},
  };
  for (const auto& [what, first, second, changed] : cases) {
    QORPropertySet set;
    PropertySetRecorder recorder;
    set.AddNotify(&recorder);
    set.SetProperty(L"k", first);
    set.SetProperty(L"k", second);
    Calls expected{"changed:k", "changing:k", "changed:k"};
    if (!changed) expected.pop_back();
    EXPECT_EQ(recorder.calls, expected) << what;
    EXPECT_EQ(recorder.lastValue.type(), second.type()) << what;
  }
}

TEST(QORPropertySet, ModifiedFlagAndStoredTypes) {
  QORPropertySet set;
  EXPECT_FALSE(set.IsModified());
  set.SetProperty(L"f", 1.5f);
  set.SetProperty(std::wstring(L"d"), 2.5);
  set.SetProperty(L"b", true);
  set.SetProperty(L"i", 3);  // int literals go to the long overload
  EXPECT_TRUE(set.IsModified());
  const PropertyList all = Entries(set);
  EXPECT_EQ(boost::any_cast<float>(all[0].value), 1.5f);
  EXPECT_EQ(boost::any_cast<double>(all[1].value), 2.5);
  EXPECT_TRUE(boost::any_cast<bool>(all[2].value));
  EXPECT_EQ(boost::any_cast<long>(all[3].value), 3L);
  boost::any value;
  EXPECT_TRUE(set.GetProperty(L"D", value));
  EXPECT_FALSE(set.GetProperty(L"", value));

  set.SetModified(false);
  set.SetProperty(L"i", 3L);  // equal: nothing changes
  set.ClearProperties();
  EXPECT_FALSE(set.IsModified());
  set.SetAllProperties({}, false);
  EXPECT_TRUE(set.IsModified());
}

TEST(QORPropertySet, CopySetAllAndMerge) {
  QORPropertySet source;
  source.SetProperty(L"b", 1L);
  source.SetProperty(L"a", L"x");
  QORPropertySet set;
  set.SetProperty(L"old", 1L);
  PropertySetRecorder recorder;
  set.AddNotify(&recorder);
  set.CopyProperties(set);
  EXPECT_TRUE(recorder.calls.empty());
  set.CopyProperties(source);
  EXPECT_EQ(recorder.calls, (Calls{"changed:b", "changed:a"}));
  ASSERT_EQ(Entries(set).size(), 2u);
  EXPECT_EQ(Entries(set)[0].key, L"b");
  recorder.calls.clear();
  set.SetAllProperties({{L"z", boost::any(1L)}, {L"z", boost::any(2L)}}, false);
  EXPECT_TRUE(recorder.calls.empty());
  EXPECT_EQ(Entries(set).size(), 2u);  // copied as given

  const PropertyList incoming = {{L"A", boost::any(2L)}, {L"n", boost::any(3L)}};
  for (const bool replace : {false, true}) {
    for (const bool add : {false, true}) {
      QORPropertySet target;
      target.SetProperty(L"a", 1L);
      target.MergeProperties(incoming, replace, add);
      long a = 0, n = 0;
      ASSERT_TRUE(target.GetProperty(L"a", a));
      EXPECT_EQ(a, replace ? 2 : 1);
      EXPECT_EQ(target.GetProperty(L"N", n), add);
    }
  }
  QORPropertySet merged;
  merged.MergePropertySet(source, false, true);
  EXPECT_EQ(Entries(merged).size(), 2u);
}

std::optional<long> AsLong(const boost::any& value) {
  QORPropertySet set;
  set.SetProperty(L"k", value);
  long out = 99;
  if (set.GetProperty(L"k", out)) return out;
  EXPECT_EQ(out, 99);
  return std::nullopt;
}

// long keeps its 32-bit meaning.
TEST(QORPropertySet, ReadingAsLong) {
  EXPECT_EQ(AsLong(std::string("2147483647")), 2147483647L);
  EXPECT_EQ(AsLong(std::wstring(L"-2147483648")), -2147483648L);
  EXPECT_EQ(AsLong(std::string("+7")), 7);
  EXPECT_EQ(AsLong(short{-3}), -3);
  EXPECT_EQ(AsLong(true), 1);
  for (const char* text : {"2147483648", "-2147483649", " 5", "5x", ""}) {
    EXPECT_EQ(AsLong(std::string(text)), std::nullopt) << text;
  }
  for (const boost::any& other :
       {boost::any(std::wstring(L"2147483648")), boost::any(1.0), boost::any(1.0f),
        boost::any(std::vector<unsigned char>{1}), boost::any(4294967296L), boost::any()}) {
    EXPECT_EQ(AsLong(other), std::nullopt) << other.type().name();
  }
}

TEST(QORPropertySet, ReadingAsText) {
  const std::pair<boost::any, const wchar_t*> cases[] = {
      // nullptr: no text form
      {std::vector<unsigned char>{0x0A, 0xFF}, L"0AFF"},
      {std::vector<char>{'\x80', '\x01'}, L"8001"},
      {true, L"1"},
      {0.1f, L"0.100000001"},
      {0.1, L"0.10000000000000001"},
      {-12, L"-12"},
      {std::string("Gr\xC3\xBC\xC3\x9F"), L"Gr\u00FC\u00DF"},
      {std::wstring(L"\u20AC\U0001F3B5"), L"\u20AC\U0001F3B5"},
      {7u, nullptr},
  };
  for (size_t i = 0; i < std::size(cases); ++i) {
    QORPropertySet set;
    set.SetProperty(L"k", cases[i].first);
    std::wstring wide = L"junk";
    EXPECT_EQ(set.GetProperty(L"k", wide), cases[i].second != nullptr) << i;
    EXPECT_EQ(wide, cases[i].second != nullptr ? cases[i].second : L"") << i;  // emptied first
  }
  QORPropertySet set;
  set.SetProperty(L"wide", L"\u20AC\U0001F3B5");
  set.SetProperty(L"bytes", boost::any(std::vector<unsigned char>{0x0A, 0xFF}));
  std::string text = "keep";
  EXPECT_FALSE(set.GetProperty(L"missing", text));
  EXPECT_EQ(text, "keep");
  ASSERT_TRUE(set.GetProperty(std::wstring(L"wide"), text));
  EXPECT_EQ(text, "\xE2\x82\xAC\xF0\x9F\x8E\xB5");
  ASSERT_TRUE(set.GetProperty(L"bytes", text));
  EXPECT_EQ(text, "0AFF");
}

TEST(QORPropertySet, ListenersMayChangeTheSetFromTheirCall) {
  QORPropertySet set;
  PropertySetRecorder first;
  PropertySetRecorder second;
  PropertySetRecorder* lower = &first < &second ? &first : &second;
  PropertySetRecorder* higher = lower == &first ? &second : &first;
  // The lower listener removes the other listener, then adds entries (moving the stored ones).
  lower->onChanged = [&](QORPropertySet& s, const PropertyEntry& entry) {
    if (entry.key != L"a") return;
    s.RemoveNotify(higher);
    for (int i = 0; i < 64; ++i) s.SetProperty(L"x" + std::to_wstring(i), static_cast<long>(i));
    EXPECT_EQ(entry.key, L"a");  // still readable after the entries moved
  };
  set.AddNotify(lower);
  set.AddNotify(higher);
  set.SetProperty(L"a", 1L);
  EXPECT_EQ(lower->calls.size(), 65u);
  EXPECT_EQ(boost::any_cast<long>(lower->lastValue), 63);
  EXPECT_TRUE(higher->calls.empty());  // removed before its turn
  EXPECT_EQ(Entries(set).size(), 65u);
}

TEST(QORPropertySetThreadsafe, ConcurrentWritersAndReaders) {
  QORPropertySetThreadsafe set;
  PropertySetRecorder echo;  // writes back into the set from its call, under the lock
  echo.onChanged = [](QORPropertySet& s, const PropertyEntry& entry) {
    if (entry.key.rfind(L"w", 0) == 0) s.SetProperty(L"last", entry.value);
  };
  set.AddNotify(&echo);
  constexpr int kWrites = 500;
  std::vector<std::thread> threads;
  for (int t = 0; t < 2; ++t) {
    threads.emplace_back([&set, t] {
      for (int i = 0; i < kWrites; ++i) set.SetProperty(L"w" + std::to_wstring(t), long{i});
    });
  }
  threads.emplace_back([&set] {
    std::vector<uint8_t> bytes;
    for (int i = 0; i < kWrites; ++i) {
      set.GetAllPropertiesBinary(bytes);
      Entries(set);
    }
  });
  for (auto& thread : threads) thread.join();
  set.RemoveNotify(&echo);
  long value = 0;
  ASSERT_TRUE(set.GetProperty(L"W0", value));
  EXPECT_EQ(value, kWrites - 1);
  ASSERT_TRUE(set.GetProperty(L"w1", value));
  EXPECT_EQ(value, kWrites - 1);
  size_t changedW = 0, changingW = 0;
  for (const std::string& call : echo.calls) {
    changedW += call.rfind("changed:w", 0) == 0;
    changingW += call.rfind("changing:w", 0) == 0;
  }
  EXPECT_EQ(changedW, 2u * kWrites);
  EXPECT_EQ(changingW, 2u * (kWrites - 1));
}

}  // namespace
