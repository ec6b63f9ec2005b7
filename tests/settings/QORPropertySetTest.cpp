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
}

TEST(QORPropertySet, ChangesAreAnnouncedByTypeAndValue) {
  const float nan = std::numeric_limits<float>::quiet_NaN();
  const std::tuple<const char*, boost::any, boost::any, bool> cases[] = {
      {"int then long", boost::any(5), boost::any(5L), true},
      {"NaN never equals", boost::any(nan), boost::any(nan), true},
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
  set.SetProperty(L"i", 3);  // int literals go to the long overload
  EXPECT_TRUE(set.IsModified());
  EXPECT_EQ(boost::any_cast<long>(Entries(set)[0].value), 3L);

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
  set.CopyProperties(source);
  EXPECT_EQ(recorder.calls, (Calls{"changed:b", "changed:a"}));
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
  EXPECT_EQ(AsLong(short{-3}), -3);
  for (const boost::any& other :
       {boost::any(std::string("2147483648")), boost::any(std::wstring(L"-2147483649")),
        boost::any(std::string("5x")), boost::any(1.0), boost::any(4294967296L)}) {
    EXPECT_EQ(AsLong(other), std::nullopt) << other.type().name();
  }
}

TEST(QORPropertySet, ReadingAsText) {
  const std::pair<boost::any, const wchar_t*> cases[] = {
      // nullptr: no text form
      {std::vector<unsigned char>{0x0A, 0xFF}, L"0AFF"},
      {0.1f, L"0.100000001"},
      {std::string("Gr\xC3\xBC\xC3\x9F"), L"Gr\u00FC\u00DF"},
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
  std::string text;
  ASSERT_TRUE(set.GetProperty(std::wstring(L"wide"), text));
  EXPECT_EQ(text, "\xE2\x82\xAC\xF0\x9F\x8E\xB5");
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
