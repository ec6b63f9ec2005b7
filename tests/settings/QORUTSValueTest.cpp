#include <gtest/gtest.h>

#include <string>

#include "settings/QORUTSValue.h"
#include "settings/QORUTSValueList.h"

namespace {

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
  const std::pair<uint32_t, const char*> cases[] = {
      {QORUTSValueList::kMergeReplace, "B=B:b2;C=C:c1;"},
      {QORUTSValueList::kMergeAdd, "A=A:a2;B=B:b1;C=C:c1;"},
      {QORUTSValueList::kMergeReplaceAndAdd, "A=A:a2;B=B:b2;C=C:c1;"},
      {QORUTSValueList::kMergeRemove, "C=C:c1;"},
      {5u, "A=A:a2;B=B:b2;"},  // any other mode copies
  };
  for (const auto& [mode, expected] : cases) {
    QORUTSValueList list = ListOf({{"B", "b1"}, {"C", "c1"}});
    list.Merge(other, mode);
    EXPECT_EQ(Dump(list), expected) << mode;
  }
}

TEST(QORUTSValue, IndexNeedsAWhole32BitNumber) {
  EXPECT_EQ(QORUTSValue("a", "7").GetIndex(), 7);
  EXPECT_EQ(QORUTSValue("a", "0.5").GetIndex(), -1);
  EXPECT_EQ(QORUTSValue("a", "4294967296").GetIndex(), -1);
  EXPECT_EQ(QORUTSValue("a", 4294967296L).GetIndex(), -1);
}

TEST(QORUTSValueList, ReplaceIfChanged) {
  QORUTSValueList list = ListOf({{"A", "1"}, {"B", "2"}});
  QORUTSValueList numeric;
  numeric.Set(QORUTSValue("A", 1L));
  numeric.Set(QORUTSValue("B", boost::any(2)));
  EXPECT_FALSE(list.ReplaceIfChanged(numeric));  // same texts
  EXPECT_TRUE(list.ReplaceIfChanged(ListOf({{"A", "1"}, {"B", "3"}})));
  EXPECT_EQ(Dump(list), "A=A:1;B=B:3;");
  EXPECT_TRUE(list.ReplaceIfChanged(ListOf({{"A", "1"}})));
  EXPECT_EQ(Dump(list), "A=A:1;");
}

}  // namespace
