#include <gtest/gtest.h>

#include <algorithm>
#include <optional>
#include <string>
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
  set.SetProperty(L"gAIN", 6L);
  EXPECT_EQ(recorder.calls, (Calls{"changed:Gain", "changing:Gain", "changed:Gain"}));
  set.SetProperty(L"\u00C4", 1L);  // only ASCII letters fold
  set.SetProperty(L"\u00E4", 1L);
  const PropertyList all = Entries(set);
  ASSERT_EQ(all.size(), 3u);
  EXPECT_EQ(all[0].key, L"Gain");
  EXPECT_EQ(boost::any_cast<long>(all[0].value), 6L);
  set.RemoveNotify(&recorder);
}

// Adds entries from inside a call, then leaves; the entry it was given must stay valid.
class GrowingListener : public IQORPropertySetNotify {
 public:
  void OnPropertyChanged(QORPropertySet& set, const PropertyEntry& entry) override {
    if (entry.key != L"first") return;
    for (long i = 0; i < 64; ++i) set.SetProperty(L"n" + std::to_wstring(i), i);
    seen = entry.key;
    set.RemoveNotify(this);
  }
  bool OnPropertyChanging(QORPropertySet&, const PropertyEntry&) override { return false; }
  std::wstring seen;
};

TEST(QORPropertySet, ListenerThatGrowsTheSetKeepsItsEntry) {
  QORPropertySet set;
  GrowingListener growing;
  PropertySetRecorder recorder;
  set.AddNotify(&growing);
  set.AddNotify(&recorder);
  set.SetProperty(L"first", 1L);
  EXPECT_EQ(growing.seen, L"first");
  EXPECT_EQ(recorder.calls.size(), 65u);
  EXPECT_EQ(std::count(recorder.calls.begin(), recorder.calls.end(), "changed:first"), 1);
  set.RemoveNotify(&recorder);
}

// Reading converts: texts to long within 32 bits, values to wide text where they have a form.
TEST(QORPropertySet, ConversionsOnReading) {
  const std::tuple<boost::any, std::optional<long>, const wchar_t*> cases[] = {
      {std::string("2147483647"), 2147483647L, L"2147483647"},
      {std::wstring(L"-2147483649"), std::nullopt, L"-2147483649"},
      {std::string("5x"), std::nullopt, L"5x"},
      {short{-3}, -3L, nullptr},
      {4294967296L, std::nullopt, nullptr},
      {std::vector<unsigned char>{0x0A, 0xFF}, std::nullopt, L"0AFF"},
      {0.1f, std::nullopt, L"0.100000001"},
      {std::string("Gr\xC3\xBC\xC3\x9F"), std::nullopt, L"Gr\u00FC\u00DF"},
  };
  for (size_t i = 0; i < std::size(cases); ++i) {
    const auto& [value, number, text] = cases[i];
    QORPropertySet set;
    set.SetProperty(L"k", value);
    long out = 99;
    EXPECT_EQ(set.GetProperty(L"k", out), number.has_value()) << i;
    EXPECT_EQ(out, number.value_or(99)) << i;
    if (text == nullptr) continue;
    std::wstring wide = L"junk";
    EXPECT_TRUE(set.GetProperty(L"k", wide)) << i;
    EXPECT_EQ(wide, text) << i;
  }
}

}  // namespace

TEST(QORPropertySetThreadsafe, ConcurrentWritersReadersAndListeners) {
  // The recorder is not thread-safe itself: the set must serialise its calls.
  QORPropertySetThreadsafe set;
  PropertySetRecorder recorder;
  set.AddNotify(&recorder);
  constexpr int kWrites = 500;
  std::vector<std::thread> threads;
  for (int t = 0; t < 2; ++t) {
    threads.emplace_back([&set, t] {
      for (int i = 0; i < kWrites; ++i) set.SetProperty(L"w" + std::to_wstring(t), long{i});
    });
  }
  threads.emplace_back([&set] {
    std::vector<uint8_t> bytes;
    for (int i = 0; i < kWrites; ++i) set.GetAllPropertiesBinary(bytes);
  });
  for (auto& thread : threads) thread.join();
  set.RemoveNotify(&recorder);
  long value = 0;
  ASSERT_TRUE(set.GetProperty(L"W0", value));
  EXPECT_EQ(value, kWrites - 1);
  ASSERT_TRUE(set.GetProperty(L"w1", value));
  EXPECT_EQ(value, kWrites - 1);
  EXPECT_EQ(std::count_if(recorder.calls.begin(), recorder.calls.end(),
                          [](const std::string& c) { return c.rfind("changed:", 0) == 0; }),
            2 * kWrites);
}
