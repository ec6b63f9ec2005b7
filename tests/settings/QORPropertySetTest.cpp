#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <tuple>
#include <vector>

#include "PropertySetRecorder.h"
#include "settings/QORPropertySet.h"

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
