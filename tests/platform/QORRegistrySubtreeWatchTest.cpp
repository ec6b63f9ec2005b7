#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "RegistryChangeChild.h"
#include "TempStateRoot.h"
#include "platform/QORRegistryKey.h"
#include "platform/QORWait.h"

namespace {

using qortest::AskChild;

const std::wstring kKey = L"Software\\Watch Test";
const std::string kKey8 = "Software\\Watch Test";

constexpr uint32_t kName = REG_NOTIFY_CHANGE_NAME, kAttributes = REG_NOTIFY_CHANGE_ATTRIBUTES,
                   kLastSet = REG_NOTIFY_CHANGE_LAST_SET, kSecurity = REG_NOTIFY_CHANGE_SECURITY,
                   kAll = kName | kAttributes | kLastSet | kSecurity;

// Another process's changes against each filter: a watch on the key hears only the key's, a
// subtree watch those at any depth, also in later keys; each exactly its filter's kinds, once.
TEST(QORRegistrySubtreeWatch, EachFilterHearsItsKindOfChangeOnly) {
  const qortest::TempStateRoot root;
  QORRegistryKey key, made;
  const auto hive = QORRegistryHive::kLocalMachine;
  ASSERT_EQ(ERROR_SUCCESS, QORRegistryKey::Create(hive, kKey + L"\\A\\B", KEY_ALL_ACCESS, made));
  ASSERT_EQ(ERROR_SUCCESS, QORRegistryKey::Open(hive, kKey, KEY_NOTIFY, key));
  qortest::ChildProcess child;
  ASSERT_TRUE(qortest::StartRegistryChangeChild(child));
  // A change is queued by the time the child answers: only an expected one needs a (bounded) wait.
  const auto heard = [](QORRegistryWatch& watch, bool expected) {
    return QORWaitForSingle(watch, expected ? 5000 : 0) == kQORWaitObject0;
  };
  const std::string deep = kKey8 + "\\A\\B", later = kKey8 + "\\A\\Later";
  const std::string burst = kKey8 + "\\Burst";
  const struct {
    std::string op;
    uint32_t heardByKey, heardBySubtree;
  } changes[] = {
      {"set|" + kKey8 + "|Value", kLastSet, kLastSet},
      {"unset|" + kKey8 + "|Value", kLastSet, kLastSet},
      {"create|" + kKey8 + "\\New", kName, kName},
      {"delete|" + kKey8 + "\\New", kName, kName},
#ifndef _WIN32
      // A key's attributes are its folder's in the POSIX store. Wine reports no change of a
      // key's security to a watch, so the Win32 backend is not asked here.
      {"chmod|" + kKey8 + "|750", kAttributes | kSecurity, kAttributes | kSecurity},
      {"touch|" + kKey8, kAttributes, kAttributes},
      {"chmod|" + kKey8 + "|770", kAttributes | kSecurity, kAttributes | kSecurity},
#endif
      {"set|" + deep + "|Old", 0, kLastSet},
      {"create|" + later, 0, kName},  // a key alone is no value change
      {"set|" + later + "|Fresh", 0, kLastSet},
#ifndef _WIN32
      {"chmod|" + later + "|750", 0, kAttributes | kSecurity},
      {"touch|" + later, 0, kAttributes},
#endif
      {"delete|" + later, 0, kName},
      // Keys and a value made together, before the watch looked at their parent's change.
      {"set|" + burst + "\\Deeper\\Deepest|Early", kName, kName | kLastSet},
      {"set|" + burst + "\\Deeper\\Deepest|Later", 0, kLastSet},
      {"delete|" + burst, kName, kName},
  };
  for (const uint32_t filter : {kName, kAttributes, kLastSet, kSecurity, kAll}) {
    for (const bool subtree : {false, true}) {
      SCOPED_TRACE(testing::Message() << "filter " << filter << (subtree ? " subtree" : ""));
      std::unique_ptr<QORRegistryWatch> subject;
      ASSERT_EQ(ERROR_SUCCESS, key.Watch(filter, &subject, subtree));
      for (const auto& change : changes) {
        SCOPED_TRACE(change.op);
        ASSERT_TRUE(AskChild(child, change.op));
        const bool expected = ((subtree ? change.heardBySubtree : change.heardByKey) & filter) != 0;
        EXPECT_EQ(expected, heard(*subject, expected));
        EXPECT_FALSE(heard(*subject, false));  // consumed in one go
      }
    }
  }
}

}  // namespace
