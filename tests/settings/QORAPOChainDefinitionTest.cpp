#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <string>
#include <vector>

#include "settings/QORAPOChainDefinition.h"
#include "settings/QORAPOChannelCode.h"
#include "settings/QORUTSNameList.h"
#include "settings/QORUTSValueList.h"

// Chain lookup, channel codes, and the merging of control lists.
namespace {

constexpr uint32_t kAny = 0xFFFFFFFFu;

struct Chain {
  uint32_t in, out;
  bool render;
  const char* tech;
};

ChainEntry MakeEntry(const Chain& chain) {
  ChainEntry entry;
  entry.inputMask = chain.in;
  entry.outputMask = chain.out;
  entry.render = chain.render;
  entry.processes.push_back({chain.tech, "", ""});
  return entry;
}

TEST(QORAPOChainDefinition, FindChainTakesTheFirstEntrySharingABitWithBothCodes) {
  const std::vector<Chain> stereoThenAny = {{2, 2, true, "Stereo"}, {kAny, kAny, true, "Any"}};
  const std::vector<Chain> captureOnly = {{kAny, kAny, false, "Capture"}};
  const std::vector<Chain> surround = {{2 | 4 | 8, kAny, true, "Upto71"}, {16, kAny, true, "Big"}};
  struct Row {
    std::vector<Chain> chains;
    uint32_t in, out;
    bool render;
    const char* found;  // nullptr: false, out untouched
  } rows[] = {{stereoThenAny, 2, 2, true, "Stereo"},
              {stereoThenAny, 4, 2, true, "Any"},
              {stereoThenAny, 0, 2, true, nullptr},
              {stereoThenAny, kAny, 2, true, nullptr},
              {stereoThenAny, 2, 0, true, nullptr},
              {stereoThenAny, 2, kAny, true, nullptr},
              {stereoThenAny, 2, 2, false, nullptr},
              {captureOnly, 2, 2, true, nullptr},
              {captureOnly, 1, 16, false, "Capture"},
              {{{0, kAny, true, "NoInput"}}, 1, 2, true, nullptr},
              {{{0, kAny, true, "NoInput"}, {1, kAny, true, "Mono"}}, 1, 2, true, "Mono"},
              {surround, 16, 2, true, "Big"},
              {surround, 8, 2, true, "Upto71"},
              {surround, 1, 2, true, nullptr},
              // A multi-bit code matches on any shared bit.
              {{{4, 2, true, "Wide"}}, 2 | 4, 1 | 2, true, "Wide"},
              {{{4, 2, true, "Wide"}}, 1 | 2, 2, true, nullptr},
              {{}, 2, 2, true, nullptr}};
  for (const Row& row : rows) {
    SCOPED_TRACE(::testing::Message() << row.in << "->" << row.out << " render " << row.render
                                      << " expecting " << (row.found ? row.found : "none"));
    QORAPOChainDefinition definition;
    for (const Chain& chain : row.chains) definition.GetEntries().push_back(MakeEntry(chain));
    ChainEntry out = MakeEntry({7, 7, false, "Untouched"});
    const QORAPOChainDefinition& lookup = definition;
    ASSERT_EQ(lookup.FindChain(row.in, row.out, out, row.render), row.found != nullptr);
    ASSERT_EQ(out.processes.size(), 1u);
    EXPECT_EQ(out.processes[0].techId, row.found ? row.found : "Untouched");
    if (!row.found) {
      EXPECT_EQ(out.inputMask, 7u);
    }
  }
}

TEST(QORAPOChannelCode, LayoutsMapBetweenCountsCodesAndNames) {
  struct Row {
    uint32_t channels, code;
    const char* name;
  } layouts[] = {{1, 1, "Mono"},
                 {2, 2, "Stereo"},
                 {6, 4, "5.1 Surround"},
                 {8, 8, "7.1 Surround"},
                 {12, 16, "11.1 Surround"}};
  for (const Row& row : layouts) {
    SCOPED_TRACE(row.name);
    EXPECT_EQ(QORAPOChannelCode::FromChannelCount(row.channels), row.code);
    EXPECT_EQ(QORAPOChannelCode::ChannelCount(row.code), row.channels);
    EXPECT_EQ(QORAPOChannelCode::FromLayoutName(row.name), row.code);
  }
  for (uint32_t channels : {0u, 3u, 4u, 5u, 7u, 10u, 16u, kAny}) {
    EXPECT_EQ(QORAPOChannelCode::FromChannelCount(channels), 0u) << channels;
  }
  for (uint32_t code : {0u, 3u, 6u, 32u, 64u, kAny}) {
    EXPECT_EQ(QORAPOChannelCode::ChannelCount(code), 0u) << code;
  }
  for (const char* name : {"mono", "STEREO", "Any", "", "5.1", "Stereo "}) {
    EXPECT_EQ(QORAPOChannelCode::FromLayoutName(name), 0u) << name;
  }
}

using Texts = std::map<std::string, std::string>;

QORUTSValueList MakeList(const Texts& texts) {
  QORUTSValueList list;
  for (const auto& [name, text] : texts) list.Set(QORUTSValue(name, text.c_str()));
  return list;
}

// Name to value text; every value must carry its key as its name.
Texts TextsOf(const QORUTSValueList& list) {
  Texts texts;
  for (const auto& [name, value] : list.Values()) {
    EXPECT_EQ(value.GetName(), name);
    texts[name] = value.GetValueText();
  }
  return texts;
}

TEST(QORUTSValueList, MergeModesCombineTheOtherListAsNamed) {
  const Texts mine = {{"B", "b0"}, {"C", "c0"}};
  const Texts other = {{"A", "a1"}, {"B", "b1"}};
  const Texts copy = other;
  struct Row {
    uint32_t mode;
    Texts expected;
  } rows[] = {{0, copy},
              {1, {{"A", "a1"}, {"B", "b1"}, {"C", "c0"}}},
              {2, {{"B", "b1"}, {"C", "c0"}}},
              {3, {{"A", "a1"}, {"B", "b0"}, {"C", "c0"}}},
              {4, {{"C", "c0"}}},
              {5, copy},
              {kAny, copy}};
  for (const Row& row : rows) {
    SCOPED_TRACE(row.mode);
    QORUTSValueList list = MakeList(mine);
    list.Merge(MakeList(other), row.mode);
    EXPECT_EQ(TextsOf(list), row.expected);
  }
  // A list merged into itself: replacing and adding change nothing, removing empties it.
  for (uint32_t mode : {0u, 1u, 2u, 3u, 4u}) {
    QORUTSValueList list = MakeList(mine);
    list.Merge(list, mode);
    EXPECT_EQ(TextsOf(list), mode == 4 ? Texts{} : mine) << mode;
  }
  // Remove counts the names given, present or not.
  QORUTSValueList list = MakeList(mine);
  EXPECT_EQ(list.Remove(QORUTSNameList{"B", "Z", "B"}), 3u);
  EXPECT_EQ(TextsOf(list), (Texts{{"C", "c0"}}));
}

TEST(QORUTSNameList, KeepsInsertionOrderAndRemovesTheFirstEqualName) {
  struct Row {
    std::vector<std::string> removals;
    std::vector<std::string> expected;
  } rows[] = {{{}, {"b", "a", "c", "a"}},
              {{"a"}, {"b", "c", "a"}},
              {{"a", "a"}, {"b", "c"}},
              {{"A", "z", ""}, {"b", "a", "c", "a"}},
              {{"a", "a", "a", "b", "c"}, {}}};
  for (const Row& row : rows) {
    QORUTSNameList names{"b", "a", "c", "a"};
    for (const std::string& name : row.removals) names.Remove(name);
    EXPECT_EQ(static_cast<const std::vector<std::string>&>(names), row.expected);
    for (const char* name : {"a", "b", "c", "A", ""}) {
      const bool present =
          std::find(row.expected.begin(), row.expected.end(), name) != row.expected.end();
      EXPECT_EQ(names.Contains(name), present) << name;
    }
  }
}

}  // namespace
