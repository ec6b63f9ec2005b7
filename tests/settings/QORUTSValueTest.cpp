#include <gtest/gtest.h>

#include <string>

#include "settings/QORUTSControlInfo.h"
#include "settings/QORUTSValue.h"
#include "settings/QORUTSValueList.h"

namespace {

QORUTSValue Text(const std::string& name, const std::string& text) {
  return QORUTSValue(name, text.c_str());
}

TEST(QORUTSValue, NameAndValueText) {
  const QORUTSValue value("Eq:Gain:Low", 1L);
  EXPECT_EQ(value.GetPrefix(), "Eq");
  EXPECT_EQ(value.GetShortName(), "Gain:Low");
  EXPECT_EQ(QORUTSValue("Gain", 1L).GetPrefix(), "");
  EXPECT_EQ(QORUTSValue("a", -2147483648L).GetValueText(), "-2147483648");
  EXPECT_EQ(QORUTSValue("a", 0.1f).GetValueText(), "0.100000001");
  EXPECT_EQ(QORUTSValue("a", 100.0f).GetValueText(), "100");
  EXPECT_EQ(QORUTSValue("a", 1.0).GetValueText(), "");  // double has no text here
}

TEST(QORUTSValue, Index) {
  EXPECT_EQ(QORUTSValue("a", -2.9f).GetIndex(), -2);
  EXPECT_EQ(QORUTSValue("a", 1e10f).GetIndex(), -1);
  EXPECT_EQ(QORUTSValue("a", 4294967296L).GetIndex(), -1);
  // With a decimal point the text must be a whole number within float precision.
  const char* const texts[] = {"Enabled",    "Disabled", "-4",  "2147483647",
                               "2147483648", "3.0",      "2.5", "3.0x"};
  const int indexes[] = {1, 0, -4, 2147483647, -1, 3, -1, -1};
  static_assert(std::size(texts) == std::size(indexes));
  for (size_t i = 0; i < std::size(texts); ++i) {
    EXPECT_EQ(Text("a", texts[i]).GetIndex(), indexes[i]) << texts[i];
  }
}

TEST(QORUTSValue, EqualityWideTextsAndCopies) {
  EXPECT_EQ(QORUTSValue("n", 1L), Text("n", "1"));
  EXPECT_NE(QORUTSValue("n", 1L), Text("N", "1"));
  EXPECT_NE(Text("n", "1.0"), QORUTSValue("n", 1.0f));  // float 1 writes "1"
  QORUTSValue value("Ge\xC3\xA4t", "old");
  EXPECT_EQ(value.GetNameWide(), L"Ge\u00E4t");
  value.SetValueWide(L"\u20AC5");
  EXPECT_EQ(value.GetValueText(),
            "\xE2\x82\xAC"
            "5");
  QORUTSValue copy(value);  // clones the value
  copy.SetValueText("b");
  EXPECT_EQ(value.GetValueWide(), L"\u20AC5");
}

QORUTSValueList ListOf(std::initializer_list<std::pair<const char*, const char*>> values) {
  QORUTSValueList list;
  for (const auto& [name, text] : values) list.Set(QORUTSValue(name, text));
  return list;
}

std::string Dump(const QORUTSValueList& list) {
  std::string text;
  for (const auto& [key, value] : list.Values()) {
    text += key + "=" + value.GetName() + ":" + value.GetValueText() + ";";
  }
  return text;
}

TEST(QORUTSValueList, MergeModes) {
  const QORUTSValueList other = ListOf({{"A", "a2"}, {"B", "b2"}});
  const QORUTSValueList start = ListOf({{"B", "b1"}, {"C", "c1"}});
  const std::pair<uint32_t, const char*> cases[] = {
      {QORUTSValueList::kMergeReplace, "B=B:b2;C=C:c1;"},
      {QORUTSValueList::kMergeAdd, "A=A:a2;B=B:b1;C=C:c1;"},
      {QORUTSValueList::kMergeReplaceAndAdd, "A=A:a2;B=B:b2;C=C:c1;"},
      {QORUTSValueList::kMergeRemove, "C=C:c1;"},
      {5u, "A=A:a2;B=B:b2;"},  // any other mode copies
  };
  for (const auto& [mode, expected] : cases) {
    QORUTSValueList list = start;
    list.Merge(other, mode);
    EXPECT_EQ(Dump(list), expected) << mode;
  }
  QORUTSValueList list = start;
  list.Merge(list, QORUTSValueList::kMergeRemove);
  EXPECT_TRUE(list.Empty());
}

TEST(QORUTSValueList, FindRemoveAndGetOrAdd) {
  QORUTSValueList list = ListOf({{"A", "1"}, {"B", "2"}});
  EXPECT_EQ(list.Find("a"), nullptr);  // names are case-sensitive
  EXPECT_EQ(list.Remove(QORUTSNameList{"A", "Z"}), 2u);
  EXPECT_EQ(Dump(list), "B=B:2;");
  list.GetOrAdd("N").SetValueText("x");
  EXPECT_EQ(list.GetOrAdd("N").GetValueText(), "x");
  EXPECT_EQ(list.Size(), 2u);
}

TEST(QORUTSValueList, ReplaceIfChanged) {
  QORUTSValueList list = ListOf({{"A", "1"}, {"B", "2"}});
  EXPECT_FALSE(list.ReplaceIfChanged(ListOf({{"A", "1"}, {"B", "2"}})));

  QORUTSValueList numeric;
  numeric.Set(QORUTSValue("A", 1L));
  numeric.Set(QORUTSValue("B", boost::any(2)));
  EXPECT_FALSE(list.ReplaceIfChanged(numeric));  // same texts
  EXPECT_EQ(list.Find("A")->GetValueText(), "1");

  // Same size, one new name, no differing common name: not a change by itself.
  EXPECT_FALSE(list.ReplaceIfChanged(ListOf({{"A", "1"}, {"Z", "9"}})));
  EXPECT_NE(list.Find("B"), nullptr);

  EXPECT_TRUE(list.ReplaceIfChanged(ListOf({{"A", "1"}, {"B", "3"}})));
  EXPECT_EQ(list.Find("B")->GetValueText(), "3");
  EXPECT_TRUE(list.ReplaceIfChanged(ListOf({{"A", "1"}})));
  EXPECT_EQ(Dump(list), "A=A:1;");
}

TEST(QORUTSControlInfo, DescriptorForms) {
  const char* const names[] = {"Off", "On"};
  QORUTSControlInfo info;
  info.SetFromDescScaled("Gain", 0xFFFFFFFFu, 0x80000000u, 2, names, 2);
  EXPECT_EQ(info.GetScale(), 100.0f);
  EXPECT_EQ(info.GetValueNames(), (std::vector<std::string>{"Off", "On"}));
  info.SetFromDescScaled("Mode", 1, 2, 3, nullptr, 5);
  EXPECT_EQ(info.GetScale(), 1.0f);
}

}  // namespace
