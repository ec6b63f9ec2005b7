#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "ChildProcess.h"
#include "RegistryChangeChild.h"
#include "TempStateRoot.h"
#include "common/QORTextConvert.h"
#include "platform/QORRegistryKey.h"
#include "platform/QORWait.h"

namespace {

using qortest::AskChild;

const std::wstring kKey = L"Software\\Watch Test";
const std::string kKey8 = "Software\\Watch Test";

constexpr uint32_t kName = REG_NOTIFY_CHANGE_NAME;
constexpr uint32_t kAttributes = REG_NOTIFY_CHANGE_ATTRIBUTES;
constexpr uint32_t kLastSet = REG_NOTIFY_CHANGE_LAST_SET;
constexpr uint32_t kSecurity = REG_NOTIFY_CHANGE_SECURITY;
constexpr uint32_t kAll = kName | kAttributes | kLastSet | kSecurity;

class QORRegistrySubtreeWatch : public ::testing::Test {
 protected:
  void SetUp() override {
    QORRegistryKey made;
    ASSERT_EQ(ERROR_SUCCESS, QORRegistryKey::Create(QORRegistryHive::kLocalMachine,
                                                    kKey + L"\\A\\B", KEY_ALL_ACCESS, made));
    ASSERT_EQ(ERROR_SUCCESS, made.SetDword(L"Old", 1));
    ASSERT_EQ(ERROR_SUCCESS,
              QORRegistryKey::Open(QORRegistryHive::kLocalMachine, kKey, KEY_NOTIFY, key_));
    ASSERT_TRUE(qortest::StartRegistryChangeChild(child_));
  }

  std::unique_ptr<QORRegistryWatch> Watch(uint32_t filter, bool subtree) {
    std::unique_ptr<QORRegistryWatch> watch;
    EXPECT_EQ(ERROR_SUCCESS, key_.Watch(filter, &watch, subtree));
    return watch;
  }

  // The child's change is queued by the time it answers, so a watch that should not hear it can
  // be asked without waiting; one that should is given a bounded wait.
  static bool Heard(QORRegistryWatch& watch, bool expected) {
    return QORWaitForSingle(watch, expected ? 5000 : 0) == kQORWaitObject0;
  }

  qortest::TempStateRoot root_;
  QORRegistryKey key_;
  qortest::ChildProcess child_;
};

// One change of each kind, made by another process, against each filter, on the watched key
// itself: a watch hears exactly the kinds its filter names, once each.
TEST_F(QORRegistrySubtreeWatch, EachFilterHearsItsKindOfChangeOnly) {
  const struct {
    std::string op;
    uint32_t heardBy;
  } changes[] = {
      {"set|" + kKey8 + "|Value", kLastSet},
      {"set|" + kKey8 + "|Value", kLastSet},  // rewritten in place
      {"unset|" + kKey8 + "|Value", kLastSet},
      {"create|" + kKey8 + "\\New", kName},
      {"delete|" + kKey8 + "\\New", kName},
      {"chmod|" + kKey8 + "|750", kAttributes | kSecurity},
      {"touch|" + kKey8, kAttributes},
      {"chmod|" + kKey8 + "|770", kAttributes | kSecurity},
  };
  for (const uint32_t filter : {kName, kAttributes, kLastSet, kSecurity, kAll}) {
    for (const bool subtree : {false, true}) {
      SCOPED_TRACE(testing::Message() << "filter " << filter << (subtree ? " subtree" : ""));
      const std::unique_ptr<QORRegistryWatch> watch = Watch(filter, subtree);
      ASSERT_NE(watch, nullptr);
      for (const auto& change : changes) {
        SCOPED_TRACE(change.op);
        ASSERT_TRUE(AskChild(child_, change.op));
        const bool expected = (change.heardBy & filter) != 0;
        EXPECT_EQ(expected, Heard(*watch, expected));
        EXPECT_FALSE(Heard(*watch, false));  // consumed in one go
      }
      EXPECT_FALSE(watch->IsStale());
    }
  }
}

// Below the watched key only a subtree watch hears, at any depth, also in keys made after it
// started, and again in a key deleted and made anew.
TEST_F(QORRegistrySubtreeWatch, SubtreeHearsEveryDepthAndKeysMadeLater) {
  const std::string deep = kKey8 + "\\A\\B";
  const std::string later = kKey8 + "\\A\\Later";
  const struct {
    std::string op;
    uint32_t heardBy;
  } changes[] = {
      {"set|" + deep + "|Old", kLastSet},
      {"unset|" + deep + "|Old", kLastSet},
      {"create|" + later, kName},
      {"set|" + later + "|Fresh", kLastSet},
      {"create|" + later + "\\C", kName},
      {"set|" + later + "\\C|Fresh", kLastSet},
      {"chmod|" + later + "\\C|750", kAttributes | kSecurity},
      {"touch|" + later + "\\C", kAttributes},
      {"delete|" + later, kName},
      {"create|" + later, kName},
      {"set|" + later + "|Again", kLastSet},
      {"delete|" + deep, kName},
  };
  for (const uint32_t filter : {kName, kAttributes, kLastSet, kSecurity}) {
    SCOPED_TRACE(testing::Message() << "filter " << filter);
    const std::unique_ptr<QORRegistryWatch> flat = Watch(kAll, false);
    const std::unique_ptr<QORRegistryWatch> tree = Watch(filter, true);
    ASSERT_NE(tree, nullptr);
    for (const auto& change : changes) {
      SCOPED_TRACE(change.op);
      ASSERT_TRUE(AskChild(child_, change.op));
      const bool expected = (change.heardBy & filter) != 0;
      EXPECT_EQ(expected, Heard(*tree, expected));
      EXPECT_FALSE(Heard(*flat, false));
    }
    ASSERT_TRUE(AskChild(child_, "delete|" + later));
    ASSERT_TRUE(AskChild(child_, "set|" + deep + "|Old"));
    EXPECT_FALSE(tree->IsStale());
  }
}

// Keys and values that appear together before the watch has looked at their parent's change
// are reported when it does, and the new keys are followed from then on.
TEST_F(QORRegistrySubtreeWatch, ValuesWrittenIntoAKeyBeforeTheWatchSawItAreHeard) {
  const std::unique_ptr<QORRegistryWatch> values = Watch(kLastSet, true);
  const std::unique_ptr<QORRegistryWatch> names = Watch(kName, true);
  ASSERT_TRUE(AskChild(child_, "set|" + kKey8 + "\\Burst\\Deeper\\Deepest|Early"));
  EXPECT_TRUE(Heard(*values, true));
  EXPECT_TRUE(Heard(*names, true));
  ASSERT_TRUE(AskChild(child_, "set|" + kKey8 + "\\Burst\\Deeper\\Deepest|Later"));
  EXPECT_TRUE(Heard(*values, true));
  EXPECT_FALSE(Heard(*names, false));
  // Keys alone, without values, are no value change.
  ASSERT_TRUE(AskChild(child_, "create|" + kKey8 + "\\Bare\\Deeper"));
  EXPECT_FALSE(Heard(*values, false));
  EXPECT_TRUE(Heard(*names, true));
}

TEST_F(QORRegistrySubtreeWatch, DeletingTheWatchedKeyIsHeardOnceAndLeavesTheWatchStale) {
  for (const bool subtree : {false, true}) {
    SCOPED_TRACE(subtree);
    const std::unique_ptr<QORRegistryWatch> watch = Watch(kLastSet, subtree);
    ASSERT_TRUE(AskChild(child_, "delete|" + kKey8));
    EXPECT_TRUE(Heard(*watch, true));
    EXPECT_TRUE(watch->IsStale());
    // A key made again under the name is another key.
    ASSERT_TRUE(AskChild(child_, "set|" + kKey8 + "|Value"));
    EXPECT_FALSE(Heard(*watch, false));
    key_.Close();
    ASSERT_EQ(ERROR_SUCCESS,
              QORRegistryKey::Open(QORRegistryHive::kLocalMachine, kKey, KEY_NOTIFY, key_));
  }
}

TEST_F(QORRegistrySubtreeWatch, RefusesUnknownFiltersAndKeysWithoutTheNotifyRight) {
  std::unique_ptr<QORRegistryWatch> watch;
  for (const uint32_t filter : {0u, 0x10u, kAll | 0x10000000u}) {
    EXPECT_EQ(ERROR_INVALID_PARAMETER, key_.Watch(filter, &watch, true)) << filter;
  }
  EXPECT_EQ(ERROR_INVALID_PARAMETER, key_.Watch(kAll, nullptr, true));
  QORRegistryKey reader;
  ASSERT_EQ(ERROR_SUCCESS, QORRegistryKey::Open(QORRegistryHive::kLocalMachine, kKey,
                                                KEY_READ & ~KEY_NOTIFY, reader));
  EXPECT_EQ(ERROR_ACCESS_DENIED, reader.Watch(kAll, &watch, true));
  EXPECT_EQ(ERROR_INVALID_HANDLE, QORRegistryKey().Watch(kAll, &watch, true));
  EXPECT_EQ(watch, nullptr);
}

}  // namespace
