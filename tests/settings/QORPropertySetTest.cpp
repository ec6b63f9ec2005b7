#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <thread>
#include <vector>

#include "PropertySetRecorder.h"
#include "settings/QORPropertySet.h"
#include "settings/QORPropertySetThreadsafe.h"

namespace {

using Calls = std::vector<std::string>;

TEST(QORPropertySet, KeysIgnoreAsciiCaseAndKeepFirstSpelling) {
  QORPropertySet set;
  PropertySetRecorder recorder;
  set.AddNotify(&recorder);
  set.AddNotify(&recorder);  // one registration
  set.SetProperty(L"Gain", 5L);
  set.SetProperty(L"gAIN", 5L);
  EXPECT_EQ(recorder.calls, (Calls{"changed:Gain", "changing:Gain"}));
  PropertyList all;
  set.GetAllProperties(all);
  ASSERT_EQ(all.size(), 1u);
  EXPECT_EQ(all[0].key, L"Gain");

  // Only ASCII letters fold.
  set.SetProperty(L"\u00C4", 1L);
  set.SetProperty(L"\u00E4", 1L);
  set.GetAllProperties(all);
  EXPECT_EQ(all.size(), 3u);
  EXPECT_FALSE(QORPropertySet::KeysEqual(L"ab", L"a"));
  EXPECT_FALSE(QORPropertySet::KeysEqual(L"a", L"ab"));
  set.RemoveNotify(&recorder);
}

TEST(QORPropertySet, ChangesAreAnnouncedByTypeAndValue) {
  QORPropertySet set;
  PropertySetRecorder recorder;
  set.AddNotify(&recorder);
  set.SetProperty(L"k", boost::any(5));
  set.SetProperty(L"k", 5L);  // other type: a change
  EXPECT_EQ(recorder.calls, (Calls{"changed:k", "changing:k", "changed:k"}));
  EXPECT_EQ(recorder.lastValue.type(), typeid(long));

  recorder.calls.clear();
  const float nan = std::numeric_limits<float>::quiet_NaN();
  set.SetProperty(L"n", nan);
  set.SetProperty(L"n", nan);
  set.SetProperty(L"n", nan);
  EXPECT_EQ(recorder.calls,
            (Calls{"changed:n", "changing:n", "changed:n", "changing:n", "changed:n"}));

  recorder.calls.clear();
  set.SetProperty(L"s", "Abc");
  set.SetProperty(L"s", std::string("abc"));  // texts compare with case
  set.SetProperty(L"v", boost::any(std::vector<char>{1, 2}));
  set.SetProperty(L"v", boost::any(std::vector<char>{1, 2}));
  EXPECT_EQ(recorder.calls,
            (Calls{"changed:s", "changing:s", "changed:s", "changed:v", "changing:v"}));

  // Types outside the ten are stored but never equal.
  recorder.calls.clear();
  set.SetProperty(L"u", boost::any(7u));
  set.SetProperty(L"u", boost::any(7u));
  EXPECT_EQ(recorder.calls, (Calls{"changed:u", "changing:u", "changed:u"}));
  set.RemoveNotify(&recorder);
}

TEST(QORPropertySet, ValuesKeepTheirType) {
  QORPropertySet set;
  set.SetProperty(L"f", 1.5f);
  set.SetProperty(std::wstring(L"d"), 2.5);
  set.SetProperty(L"b", true);
  set.SetProperty(L"i", 3);  // int literals go to the long overload
  boost::any value;
  ASSERT_TRUE(set.GetProperty(L"f", value));
  EXPECT_EQ(boost::any_cast<float>(value), 1.5f);
  ASSERT_TRUE(set.GetProperty(L"D", value));
  EXPECT_EQ(boost::any_cast<double>(value), 2.5);
  ASSERT_TRUE(set.GetProperty(L"b", value));
  EXPECT_TRUE(boost::any_cast<bool>(value));
  ASSERT_TRUE(set.GetProperty(L"i", value));
  EXPECT_EQ(boost::any_cast<long>(value), 3L);
  EXPECT_FALSE(set.GetProperty(L"", value));
}

TEST(QORPropertySet, ModifiedFlag) {
  QORPropertySet set;
  EXPECT_FALSE(set.IsModified());
  set.SetProperty(L"a", 1L);
  EXPECT_TRUE(set.IsModified());
  set.SetModified(false);
  set.SetProperty(L"a", 1L);  // equal: nothing changes
  EXPECT_FALSE(set.IsModified());
  set.ClearProperties();
  EXPECT_FALSE(set.IsModified());
  set.SetAllProperties({}, false);
  EXPECT_TRUE(set.IsModified());
}

TEST(QORPropertySet, CopyAndSetAllAnnounceAdditions) {
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
  PropertyList all;
  set.GetAllProperties(all);
  ASSERT_EQ(all.size(), 2u);
  EXPECT_EQ(all[0].key, L"b");

  recorder.calls.clear();
  set.SetAllProperties({{L"z", boost::any(1L)}, {L"z", boost::any(2L)}}, false);
  EXPECT_TRUE(recorder.calls.empty());
  set.GetAllProperties(all);
  EXPECT_EQ(all.size(), 2u);  // copied as given
  set.RemoveNotify(&recorder);
}

TEST(QORPropertySet, MergeHonoursReplaceAndAdd) {
  const PropertyList incoming = {{L"A", boost::any(2L)}, {L"n", boost::any(3L)}};
  for (const bool replace : {false, true}) {
    for (const bool add : {false, true}) {
      QORPropertySet set;
      set.SetProperty(L"a", 1L);
      set.MergeProperties(incoming, replace, add);
      long a = 0;
      long n = 0;
      ASSERT_TRUE(set.GetProperty(L"a", a));
      EXPECT_EQ(a, replace ? 2 : 1);
      EXPECT_EQ(set.GetProperty(L"N", n), add);
    }
  }
  QORPropertySet other;
  other.SetProperty(L"q", 4L);
  QORPropertySet set;
  set.MergePropertySet(other, false, true);
  long q = 0;
  EXPECT_TRUE(set.GetProperty(std::wstring(L"Q"), q));
  EXPECT_EQ(q, 4);
}

TEST(QORPropertySet, ReadingAsLong) {
  QORPropertySet set;
  set.SetProperty(L"max", "2147483647");
  set.SetProperty(L"min", L"-2147483648");
  set.SetProperty(L"plus", "+7");
  set.SetProperty(L"over", "2147483648");
  set.SetProperty(L"under", L"-2147483649");
  set.SetProperty(L"space", " 5");
  set.SetProperty(L"trail", "5x");
  set.SetProperty(L"empty", "");
  set.SetProperty(L"short", boost::any(static_cast<short>(-3)));
  set.SetProperty(L"bool", boost::any(true));
  set.SetProperty(L"double", boost::any(1.0));
  set.SetProperty(L"float", boost::any(1.0f));
  set.SetProperty(L"bytes", boost::any(std::vector<unsigned char>{1}));
  set.SetProperty(L"big", 4294967296L);
  long out = 99;
  EXPECT_TRUE(set.GetProperty(L"max", out));
  EXPECT_EQ(out, 2147483647L);
  EXPECT_TRUE(set.GetProperty(L"min", out));
  EXPECT_EQ(out, -2147483648L);
  EXPECT_TRUE(set.GetProperty(L"plus", out));
  EXPECT_EQ(out, 7);
  EXPECT_TRUE(set.GetProperty(L"short", out));
  EXPECT_EQ(out, -3);
  EXPECT_TRUE(set.GetProperty(L"bool", out));
  EXPECT_EQ(out, 1);
  out = 99;
  for (const wchar_t* key : {L"over", L"under", L"space", L"trail", L"empty", L"double", L"float",
                             L"bytes", L"big", L"missing"}) {
    EXPECT_FALSE(set.GetProperty(key, out)) << std::wstring(key).size();
  }
  EXPECT_EQ(out, 99);
}

TEST(QORPropertySet, ReadingAsText) {
  QORPropertySet set;
  set.SetProperty(L"bytes", boost::any(std::vector<unsigned char>{0x0A, 0xFF}));
  set.SetProperty(L"chars", boost::any(std::vector<char>{'\x80', '\x01'}));
  set.SetProperty(L"bool", boost::any(true));
  set.SetProperty(L"float", boost::any(0.1f));
  set.SetProperty(L"double", boost::any(0.1));
  set.SetProperty(L"int", boost::any(-12));
  set.SetProperty(L"text", "Gr\xC3\xBC\xC3\x9F");
  set.SetProperty(L"wide", L"\u20AC\U0001F3B5");
  set.SetProperty(L"other", boost::any(7u));

  std::wstring wide = L"junk";
  ASSERT_TRUE(set.GetProperty(L"bytes", wide));
  EXPECT_EQ(wide, L"0AFF");
  ASSERT_TRUE(set.GetProperty(L"chars", wide));
  EXPECT_EQ(wide, L"8001");
  ASSERT_TRUE(set.GetProperty(L"bool", wide));
  EXPECT_EQ(wide, L"1");
  ASSERT_TRUE(set.GetProperty(L"float", wide));
  EXPECT_EQ(wide, L"0.100000001");
  ASSERT_TRUE(set.GetProperty(L"double", wide));
  EXPECT_EQ(wide, L"0.10000000000000001");
  ASSERT_TRUE(set.GetProperty(L"text", wide));
  EXPECT_EQ(wide, L"Gr\u00FC\u00DF");
  EXPECT_FALSE(set.GetProperty(L"other", wide));
  EXPECT_EQ(wide, L"");  // emptied first

  std::string text = "keep";
  EXPECT_FALSE(set.GetProperty(L"missing", text));
  EXPECT_EQ(text, "keep");
  ASSERT_TRUE(set.GetProperty(std::wstring(L"wide"), text));
  EXPECT_EQ(text, "\xE2\x82\xAC\xF0\x9F\x8E\xB5");
  ASSERT_TRUE(set.GetProperty(L"int", text));
  EXPECT_EQ(text, "-12");
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
    if (entry.key == L"a") {
      s.RemoveNotify(higher);
      for (int i = 0; i < 64; ++i) s.SetProperty(L"x" + std::to_wstring(i), static_cast<long>(i));
      EXPECT_EQ(entry.key, L"a");  // still readable after the entries moved
    }
  };
  set.AddNotify(lower);
  set.AddNotify(higher);
  set.SetProperty(L"a", 1L);
  EXPECT_EQ(lower->calls.size(), 65u);
  EXPECT_EQ(boost::any_cast<long>(lower->lastValue), 63);
  EXPECT_TRUE(higher->calls.empty());  // removed before its turn
  PropertyList all;
  set.GetAllProperties(all);
  EXPECT_EQ(all.size(), 65u);
  set.RemoveNotify(lower);
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
      for (int i = 0; i < kWrites; ++i) {
        set.SetProperty(L"w" + std::to_wstring(t), static_cast<long>(i));
      }
    });
  }
  threads.emplace_back([&set] {
    std::vector<uint8_t> bytes;
    PropertyList all;
    for (int i = 0; i < kWrites; ++i) {
      set.GetAllPropertiesBinary(bytes);
      set.GetAllProperties(all);
    }
  });
  for (auto& thread : threads) thread.join();
  set.RemoveNotify(&echo);
  long value = 0;
  ASSERT_TRUE(set.GetProperty(L"W0", value));
  EXPECT_EQ(value, kWrites - 1);
  ASSERT_TRUE(set.GetProperty(L"w1", value));
  EXPECT_EQ(value, kWrites - 1);
  size_t changedW = 0;
  size_t changingW = 0;
  for (const std::string& call : echo.calls) {
    if (call.rfind("changed:w", 0) == 0) ++changedW;
    if (call.rfind("changing:w", 0) == 0) ++changingW;
  }
  EXPECT_EQ(changedW, 2u * kWrites);
  EXPECT_EQ(changingW, 2u * (kWrites - 1));
  EXPECT_TRUE(set.IsModified());
  set.SetModified(false);
  EXPECT_FALSE(set.IsModified());
}

}  // namespace
