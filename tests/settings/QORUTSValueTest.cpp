#include <gtest/gtest.h>

#include <limits>
#include <string>

#include "settings/QORUTSControlInfo.h"
#include "settings/QORUTSValue.h"
#include "settings/QORUTSValueList.h"

namespace {

QORUTSValue Text(const std::string& name, const std::string& text) {
  return QORUTSValue(name, text.c_str());
}

TEST(QORUTSValue, NameSplitsAtFirstColon) {
  const QORUTSValue value("Eq:Gain:Low", 1L);
  EXPECT_EQ(value.GetPrefix(), "Eq");
  EXPECT_EQ(value.GetShortName(), "Gain:Low");
  const QORUTSValue plain("Gain", 1L);
  EXPECT_EQ(plain.GetPrefix(), "");
  EXPECT_EQ(plain.GetShortName(), "Gain");
  EXPECT_EQ(QORUTSValue(":x", 1L).GetPrefix(), "");
  EXPECT_EQ(QORUTSValue(":x", 1L).GetShortName(), "x");
}

TEST(QORUTSValue, ValueTextByType) {
  EXPECT_EQ(QORUTSValue("a", -2147483648L).GetValueText(), "-2147483648");
  EXPECT_EQ(QORUTSValue("a", boost::any(-7)).GetValueText(), "-7");
  EXPECT_EQ(QORUTSValue("a", 0.1f).GetValueText(), "0.100000001");
  EXPECT_EQ(QORUTSValue("a", 100.0f).GetValueText(), "100");
  EXPECT_EQ(QORUTSValue("a", std::numeric_limits<float>::infinity()).GetValueText(), "inf");
  EXPECT_EQ(Text("a", "x y").GetValueText(), "x y");
  EXPECT_EQ(QORUTSValue().GetValueText(), "");
  EXPECT_EQ(QORUTSValue("a", 1.0).GetValueText(), "");  // double has no text here
  EXPECT_EQ(QORUTSValue("a", std::wstring(L"w")).GetValueText(), "");
}

TEST(QORUTSValue, IndexFromNumbers) {
  EXPECT_EQ(QORUTSValue("a", 7L).GetIndex(), 7);
  EXPECT_EQ(QORUTSValue("a", boost::any(-3)).GetIndex(), -3);
  EXPECT_EQ(QORUTSValue("a", 2.9f).GetIndex(), 2);
  EXPECT_EQ(QORUTSValue("a", -2.9f).GetIndex(), -2);
  EXPECT_EQ(QORUTSValue("a", 1e10f).GetIndex(), -1);
  EXPECT_EQ(QORUTSValue("a", std::numeric_limits<float>::quiet_NaN()).GetIndex(), -1);
  EXPECT_EQ(QORUTSValue("a", 4294967296L).GetIndex(), -1);
  EXPECT_EQ(QORUTSValue().GetIndex(), -1);
  EXPECT_EQ(QORUTSValue("a", 3.0).GetIndex(), -1);  // double: no integer form here
}

TEST(QORUTSValue, IndexFromText) {
  // With a decimal point the text must be a whole number within float precision.
  const char* const texts[] = {"Enabled", "Disabled",   "enabled",    "-4",   "+4",          "1e3",
                               " 4",      "2147483647", "2147483648", "",     "3.0",         "-12.",
                               "2.5",     "0.0",        "0.5",        "3.0x", "3000000000.0"};
  const int indexes[] = {1, 0, -1, -4, 4, -1, -1, 2147483647, -1, -1, 3, -12, -1, 0, -1, -1, -1};
  static_assert(std::size(texts) == std::size(indexes));
  for (size_t i = 0; i < std::size(texts); ++i) {
    EXPECT_EQ(Text("a", texts[i]).GetIndex(), indexes[i]) << texts[i];
  }
}

TEST(QORUTSValue, EqualityComparesNamesAndTexts) {
  EXPECT_EQ(QORUTSValue("n", 1L), Text("n", "1"));
  EXPECT_EQ(QORUTSValue("n", 1L), QORUTSValue("n", boost::any(1)));
  EXPECT_NE(QORUTSValue("n", 1L), Text("N", "1"));
  EXPECT_NE(Text("n", "1.0"), QORUTSValue("n", 1.0f));  // float 1 writes "1"
  EXPECT_EQ(QORUTSValue("n", 1.0), Text("n", ""));      // neither has text
}

TEST(QORUTSValue, WideTextsAreUtf8) {
  QORUTSValue value("Ge\xC3\xA4t", "old");
  EXPECT_EQ(value.GetNameWide(), L"Ge\u00E4t");
  value.SetValueWide(L"");
  EXPECT_EQ(value.GetValueText(), "old");
  value.SetValueWide(L"\u20AC5");
  EXPECT_EQ(value.GetValueText(),
            "\xE2\x82\xAC"
            "5");
  EXPECT_EQ(value.GetValueWide(), L"\u20AC5");
  value.SetValueText("t");
  EXPECT_EQ(boost::any_cast<std::string>(value.GetValue()), "t");
}

TEST(QORUTSValue, CopyClonesTheValue) {
  QORUTSValue source("n", "a");
  QORUTSValue copy(source);
  copy.SetValueText("b");
  EXPECT_EQ(source.GetValueText(), "a");
  EXPECT_EQ(copy.GetName(), "n");
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

  QORUTSValueList list = start;
  list.Merge(other, QORUTSValueList::kMergeReplace);
  EXPECT_EQ(Dump(list), "B=B:b2;C=C:c1;");

  list = start;
  list.Merge(other, QORUTSValueList::kMergeAdd);
  EXPECT_EQ(Dump(list), "A=A:a2;B=B:b1;C=C:c1;");

  list = start;
  list.Merge(other, QORUTSValueList::kMergeReplaceAndAdd);
  EXPECT_EQ(Dump(list), "A=A:a2;B=B:b2;C=C:c1;");

  list = start;
  list.Merge(other, QORUTSValueList::kMergeRemove);
  EXPECT_EQ(Dump(list), "C=C:c1;");

  for (uint32_t mode : {0u, 5u, 0xFFFFFFFFu}) {
    list = start;
    list.Merge(other, mode);
    EXPECT_EQ(Dump(list), Dump(other)) << mode;
  }

  list = start;
  list.Merge(list, QORUTSValueList::kMergeRemove);
  EXPECT_TRUE(list.Empty());
}

TEST(QORUTSValueList, FindRemoveAndGetOrAdd) {
  QORUTSValueList list = ListOf({{"A", "1"}, {"B", "2"}});
  const QORUTSValueList& view = list;
  ASSERT_NE(list.Find("A"), nullptr);
  EXPECT_EQ(view.Find(std::string("B"))->GetValueText(), "2");
  EXPECT_EQ(list.Find("a"), nullptr);  // names are case-sensitive
  EXPECT_EQ(list.Find(static_cast<const char*>(nullptr)), nullptr);

  EXPECT_EQ(list.Remove(QORUTSNameList{"A", "Z", "Y"}), 3u);
  EXPECT_EQ(Dump(list), "B=B:2;");

  QORUTSValue& added = list.GetOrAdd("N");
  EXPECT_EQ(added.GetName(), "N");
  EXPECT_TRUE(added.GetValue().empty());
  added.SetValueText("x");
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

TEST(QORUTSNameList, ContainsAndRemoveFirst) {
  QORUTSNameList names{"a", "b", "a", "c"};
  EXPECT_TRUE(names.Contains("a"));
  EXPECT_FALSE(names.Contains("A"));
  names.Remove("a");
  EXPECT_EQ(names, (std::vector<std::string>{"b", "a", "c"}));
  names.Remove("zz");
  EXPECT_EQ(names.size(), 3u);
}

TEST(QORUTSControlInfo, DescriptorForms) {
  const char* const names[] = {"Off", "On"};
  QORUTSControlInfo info;
  info.SetFromDescScaled("Gain", 0xFFFFFFFFu, 0x80000000u, 2, names, 2);
  EXPECT_EQ(info.GetName(), "Gain");
  EXPECT_EQ(info.GetValue1(), 0xFFFFFFFFu);
  EXPECT_EQ(info.GetValue2(), 0x80000000u);
  EXPECT_EQ(info.GetScale(), 100.0f);
  EXPECT_EQ(info.GetValueNames(), (std::vector<std::string>{"Off", "On"}));

  info.SetFromDescScaled("Mode", 1, 2, 3, nullptr, 5);
  EXPECT_EQ(info.GetScale(), 1.0f);
  EXPECT_TRUE(info.GetValueNames().empty());

  info.SetFromDesc(nullptr, 1, 2, 2, 0.25f, names, 1);
  EXPECT_EQ(info.GetName(), "");
  EXPECT_EQ(info.GetScale(), 0.25f);
  EXPECT_EQ(info.GetValueNames().size(), 1u);
}

}  // namespace
