#include "platform/QORRegistryKey.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "RegistryChangeChild.h"
#include "RegistryTestKey.h"
#include "TempStateRoot.h"
#include "common/QORTextConvert.h"
#include "platform/QORWait.h"

// What every backend's registry does for its callers; the POSIX store's own files are tested in
// posix/QORRegistryStoreTest.cpp.

namespace {

using qortest::List;
using qortest::Names;

using qortest::kBase;
constexpr auto kInvalid = static_cast<uint32_t>(ERROR_INVALID_PARAMETER);
constexpr auto kDenied = static_cast<uint32_t>(ERROR_ACCESS_DENIED);

class QORRegistryKeyTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(ERROR_SUCCESS,
              QORRegistryKey::Create(QORRegistryHive::kLocalMachine, kBase, KEY_ALL_ACCESS, key_));
  }

  qortest::TempStateRoot root_;
  QORRegistryKey key_;
};

TEST_F(QORRegistryKeyTest, NamesStayInTheirKeyUnholdableOnesAreRefusedAndLengthsCountUtf16Units) {
  QORRegistryKey key, sub;
  // Plain names, listed in name order without regard to case.
  const Names hostile = {L".", L"..", L"../../../escape", L"/etc/x", L"ApoOpMode:Music/Speakers"};
  for (const std::wstring& name : {hostile[3], hostile[0], hostile[4], hostile[2], hostile[1]}) {
    ASSERT_EQ(ERROR_SUCCESS, key_.SetString(name, name)) << QORWideToUtf8(name);
    ASSERT_EQ(ERROR_SUCCESS, key_.CreateSubKey(name, KEY_ALL_ACCESS, sub));
  }
  ASSERT_EQ(ERROR_SUCCESS, key_.SetDword(L"Back\\Slash", 1));  // in a value name only
  EXPECT_EQ(hostile, List(key_, false));
  Names values = hostile;
  values.push_back(L"Back\\Slash");
  EXPECT_EQ(values, List(key_, true));
  std::wstring text;
  EXPECT_EQ(ERROR_SUCCESS, key_.GetString(L"apoopmode:music/speakers", &text));
  EXPECT_EQ(hostile[4], text);
  ASSERT_EQ(ERROR_SUCCESS, QORRegistryKey::Open(QORRegistryHive::kLocalMachine,
                                                L"Software\\QOR Labs", KEY_READ, key));
  EXPECT_EQ(Names{L"APO"}, List(key, false));
  EXPECT_EQ(Names{}, List(key, true));
  // Names UTF-16 cannot hold: refused, not stored under the replacement character.
  ASSERT_EQ(ERROR_SUCCESS, key_.CreateSubKey(L"Long", KEY_ALL_ACCESS, key));
  EXPECT_EQ(kInvalid, key.SetDword(std::wstring(L"a\0b", 3), 1));
  const std::wstring replacement = L"a\uFFFDb";
  ASSERT_EQ(ERROR_SUCCESS, key.SetDword(replacement, 1));
  std::vector<std::wstring> bad;
  for (const wchar_t unit : {wchar_t(0xD800), wchar_t(0xDBFF), wchar_t(0xDC00)})
    bad.push_back(std::wstring(L"a") + unit + L"b");
  bad.push_back(std::wstring{L'a', wchar_t(0xDC00), wchar_t(0xD800)});  // a pair the wrong way
#ifndef _WIN32
  bad.push_back(std::wstring{L'a', wchar_t(0x110000)});
#endif
  for (const std::wstring& name : bad) {
    SCOPED_TRACE(testing::Message() << std::hex << static_cast<uint32_t>(name[1]));
    EXPECT_EQ(kInvalid, key.SetDword(name, 2));
    EXPECT_EQ(kInvalid, key.CreateSubKey(name, KEY_ALL_ACCESS, sub));
    EXPECT_EQ(kInvalid, key.CreateSubKey(L"x\\" + name, KEY_ALL_ACCESS, sub));
  }
  uint32_t value = 0;
  EXPECT_EQ(ERROR_SUCCESS, key.GetDword(replacement, &value));
  EXPECT_EQ(1u, value);
  // 16,383 characters but 32,766 units: too long, refused before anything is stored.
  const std::wstring astral = L"\U0001F3B5";
  std::wstring longest;
  for (int i = 0; i < 8191; ++i) longest += astral;
  EXPECT_EQ(kInvalid, key.SetDword(longest + longest + astral, 1));
  longest += L'x';  // 16,383 units
  ASSERT_EQ(ERROR_SUCCESS, key.SetDword(longest, 7));
  EXPECT_EQ(ERROR_SUCCESS, key.GetDword(longest, &value));
  EXPECT_EQ(7u, value);
  EXPECT_EQ((Names{replacement, longest}), List(key, true));
  EXPECT_EQ(kInvalid, key.SetDword(longest + L'y', 1));
  EXPECT_EQ(ERROR_SUCCESS, key.CreateSubKey(std::wstring(255, L'k'), KEY_READ, sub));
  EXPECT_EQ(kInvalid, key.CreateSubKey(std::wstring(256, L'k'), KEY_READ, sub));
}

TEST_F(QORRegistryKeyTest, NamesKeepTheirFirstSpellingAndPathsTheirShape) {
  QORRegistryKey sub;
  bool created = false;
  ASSERT_EQ(ERROR_SUCCESS, key_.SetDword(L"Mode", 1));
  ASSERT_EQ(ERROR_SUCCESS, key_.SetDword(L"MODE", 2));
  ASSERT_EQ(ERROR_SUCCESS, key_.CreateSubKey(L"\u00C9t\u00E9\\Inner", KEY_ALL_ACCESS, sub));
  ASSERT_EQ(ERROR_SUCCESS, key_.CreateSubKey(L"\u00E9T\u00C9\\INNER\\", KEY_READ, sub, &created));
  EXPECT_FALSE(created);
  uint32_t value = 0;
  EXPECT_EQ(ERROR_SUCCESS, key_.GetDword(L"mode", &value));
  EXPECT_EQ(2u, value);
  EXPECT_EQ(Names{L"Mode"}, List(key_, true));
  EXPECT_EQ(Names{L"\u00C9t\u00E9"}, List(key_, false));
  const struct {
    const wchar_t* path;
    uint32_t open;  // of OpenSubKey; CreateSubKey gives the same unless it makes the key
  } paths[] = {
      {L"\u00E9t\u00E9\\inner", ERROR_SUCCESS},
      {L"\u00C9t\u00E9\\Inner\\", ERROR_SUCCESS},
      {L"", ERROR_SUCCESS},  // this key again
      {L"\u00C9t\u00E9\\\\Inner", ERROR_BAD_PATHNAME},
      {L"\\\u00C9t\u00E9", ERROR_BAD_PATHNAME},
      {L"Missing\\Inner", ERROR_FILE_NOT_FOUND},
  };
  for (const auto& path : paths) {
    SCOPED_TRACE(QORWideToUtf8(path.path));
    EXPECT_EQ(path.open, key_.OpenSubKey(path.path, KEY_READ, sub));
    if (path.open == ERROR_FILE_NOT_FOUND) continue;
    created = true;
    EXPECT_EQ(path.open, key_.CreateSubKey(path.path, KEY_READ, sub, &created));
    EXPECT_EQ(path.open != ERROR_SUCCESS, created);  // untouched on failure
  }
  // Deleting: a key with subkeys only with its tree, never the key itself through an empty path.
  EXPECT_EQ(kDenied, key_.DeleteSubKey(L"\u00E9t\u00E9"));
  EXPECT_EQ(kDenied, key_.DeleteSubTree(L""));
  EXPECT_EQ(ERROR_SUCCESS, key_.DeleteSubKey(L"\u00E9t\u00E9\\inner"));
  ASSERT_EQ(ERROR_SUCCESS, key_.CreateSubKey(L"\u00C9t\u00E9\\A\\B\\C", KEY_READ, sub));
  EXPECT_EQ(ERROR_SUCCESS, key_.DeleteSubTree(L"\u00E9T\u00C9"));
  EXPECT_EQ(ERROR_FILE_NOT_FOUND, key_.DeleteSubTree(L"\u00E9T\u00C9"));
  EXPECT_EQ(ERROR_FILE_NOT_FOUND, key_.DeleteSubKey(L"\u00E9T\u00C9"));
  EXPECT_EQ(Names{}, List(key_, false));
}

// Each right allows its calls and no other: q query, s set, d delete value, e enumerate values,
// k enumerate subkeys, c create subkey, n watch.
TEST_F(QORRegistryKeyTest, RightsAllowTheirCallsOnly) {
  const struct {
    uint32_t rights;
    std::string allowed;
  } rows[] = {
      {KEY_READ, "qekn"},
      {KEY_WRITE, "sdc"},
      {KEY_QUERY_VALUE, "qe"},
      {KEY_SET_VALUE, "sd"},
      {KEY_ENUMERATE_SUB_KEYS, "k"},
      {KEY_CREATE_SUB_KEY, "c"},
      {KEY_NOTIFY, "n"},
      {KEY_GENERIC_READ, "qekn"},
      {KEY_GENERIC_WRITE, "sdc"},
      {KEY_MAXIMUM_ALLOWED, "qsdekcn"},
      {KEY_ALL_ACCESS | KEY_WOW64_64KEY, "qsdekcn"},
  };
  ASSERT_EQ(ERROR_SUCCESS, key_.SetDword(L"Value", 1));
  for (const auto& row : rows) {
    SCOPED_TRACE(testing::Message() << std::hex << row.rights);
    ASSERT_EQ(ERROR_SUCCESS, key_.SetDword(L"Doomed", 1));
    QORRegistryKey key, sub;
    ASSERT_EQ(ERROR_SUCCESS,
              QORRegistryKey::Open(QORRegistryHive::kLocalMachine, kBase, row.rights, key));
    uint32_t value = 0;
    std::wstring name;
    std::unique_ptr<QORRegistryWatch> watch;
    const std::pair<char, uint32_t> calls[] = {
        {'q', key.GetDword(L"Value", &value)},
        {'s', key.SetDword(L"Value", 2)},
        {'d', key.DeleteValue(L"Doomed")},
        {'e', key.EnumValue(0, &name, nullptr, nullptr)},
        {'k', key.EnumSubKey(0, name)},
        {'c', key.CreateSubKey(L"Made", KEY_READ, sub)},
        {'n', key.Watch(REG_NOTIFY_CHANGE_LAST_SET, &watch)},
    };
    for (const auto& [call, result] : calls) {
      // The key has no subkeys to list.
      const uint32_t success = call == 'k' ? ERROR_NO_MORE_ITEMS : ERROR_SUCCESS;
      EXPECT_EQ(row.allowed.find(call) != std::string::npos ? success : kDenied, result) << call;
    }
    key_.DeleteSubKey(L"Made");
  }
}

TEST_F(QORRegistryKeyTest, ValuesKeepTheirTypeAndSizeAndTypedReadsCheckBoth) {
  const std::vector<std::wstring> strings = {L"one", L"%TEMP%"};
  const uint8_t three[3] = {1, 2, 3};
  ASSERT_EQ(ERROR_SUCCESS, key_.SetQword(L"Quad", 0x0102030405060708ull));
  ASSERT_EQ(ERROR_SUCCESS, key_.SetString(L"Path", L"%TEMP%\\x", REG_EXPAND_SZ));
  ASSERT_EQ(ERROR_SUCCESS, key_.SetMultiString(L"List", strings));
  ASSERT_EQ(ERROR_SUCCESS, key_.SetBinary(L"Bytes", three));
  ASSERT_EQ(ERROR_SUCCESS, key_.SetValue(L"Empty", REG_BINARY, nullptr, 0));
  EXPECT_EQ(kInvalid, key_.SetValue(L"Bad", REG_DWORD, three, 3));
  EXPECT_EQ(kInvalid, key_.SetValue(L"Bad", REG_QWORD, three, 3));
  EXPECT_EQ(kInvalid, key_.SetValue(L"Bad", REG_BINARY, nullptr, 1));
  EXPECT_EQ(kInvalid, key_.SetString(L"Bad", L"x", REG_BINARY));
  EXPECT_EQ(kInvalid, key_.SetMultiString(L"Bad", {L"a", L""}));
  EXPECT_EQ(ERROR_FILE_NOT_FOUND, key_.DeleteValue(L"Bad"));
  uint32_t dword = 0;
  uint64_t qword = 0;
  std::wstring text;
  std::vector<std::wstring> list;
  EXPECT_EQ(ERROR_UNSUPPORTED_TYPE, key_.GetDword(L"Quad", &dword));
  EXPECT_EQ(ERROR_UNSUPPORTED_TYPE, key_.GetString(L"Bytes", &text));
  EXPECT_EQ(ERROR_UNSUPPORTED_TYPE, key_.GetMultiString(L"Path", &list));
  EXPECT_EQ(ERROR_FILE_NOT_FOUND, key_.GetDword(L"Missing", &dword));
  EXPECT_EQ(ERROR_SUCCESS, key_.GetQword(L"quad", &qword));
  EXPECT_EQ(0x0102030405060708ull, qword);
  EXPECT_EQ(ERROR_SUCCESS, key_.GetString(L"Path", &text));
  EXPECT_EQ(L"%TEMP%\\x", text);  // not expanded
  EXPECT_EQ(ERROR_SUCCESS, key_.GetMultiString(L"List", &list));
  EXPECT_EQ(strings, list);
  // The raw call: the size alone, too small a buffer, then the bytes.
  uint32_t type = REG_NONE, size = 0;
  EXPECT_EQ(ERROR_SUCCESS, key_.QueryValue(L"Path", &type, nullptr, &size));
  EXPECT_EQ(REG_EXPAND_SZ, type);
  EXPECT_EQ(18u, size);  // eight UTF-16 units and the NUL
  uint8_t buffer[18] = {};
  size = 17;
  EXPECT_EQ(ERROR_MORE_DATA, key_.QueryValue(L"Path", &type, buffer, &size));
  EXPECT_EQ(18u, size);
  EXPECT_EQ(ERROR_SUCCESS, key_.QueryValue(L"Path", &type, buffer, &size));
  EXPECT_EQ(0, std::memcmp(buffer, "%\0T\0E\0M\0P\0%\0\\\0x\0\0", 18));
  EXPECT_EQ(kInvalid, key_.QueryValue(L"Path", &type, buffer, nullptr));
  std::vector<uint8_t> bytes{9};
  EXPECT_EQ(ERROR_SUCCESS, key_.QueryValue(L"Empty", &type, &bytes));
  EXPECT_EQ(REG_BINARY, type);
  EXPECT_TRUE(bytes.empty());
  uint32_t subKeys = 9, values = 0;
  EXPECT_EQ(ERROR_SUCCESS, key_.QueryInfo(&subKeys, &values));
  EXPECT_EQ(0u, subKeys);
  EXPECT_EQ(5u, values);
}

// A deleted key signals its watch whatever the filter, which then hears nothing more (IsStale):
// not even the key made again under its name, which a new watch hears. The parent's other
// subkeys coming and going are no change of the key.
TEST_F(QORRegistryKeyTest, DeletedKeyEndsItsWatchAndANewWatchHearsTheKeyMadeAgain) {
  qortest::ChildProcess child;
  ASSERT_TRUE(qortest::StartRegistryChangeChild(child));
  const std::string path = QORWideToUtf8(kBase) + "\\Watched";
  for (const uint32_t filter : {REG_NOTIFY_CHANGE_LAST_SET, REG_NOTIFY_CHANGE_NAME}) {
    for (const bool subtree : {false, true}) {
      SCOPED_TRACE(testing::Message() << "filter " << filter << (subtree ? " subtree" : ""));
      std::unique_ptr<QORRegistryWatch> watch, again;
      {
        QORRegistryKey watched;
        ASSERT_EQ(ERROR_SUCCESS, key_.CreateSubKey(L"Watched", KEY_NOTIFY, watched));
        ASSERT_EQ(ERROR_SUCCESS, watched.Watch(filter, &watch, subtree));
      }  // the watch needs no open key
      ASSERT_TRUE(qortest::AskChild(child, "create|" + QORWideToUtf8(kBase) + "\\Sibling"));
      ASSERT_TRUE(qortest::AskChild(child, "delete|" + QORWideToUtf8(kBase) + "\\Sibling"));
      EXPECT_EQ(kQORWaitTimeout, QORWaitForSingle(*watch, 100));
      EXPECT_FALSE(watch->IsStale());
      ASSERT_TRUE(qortest::AskChild(child, "delete|" + path));
      ASSERT_EQ(kQORWaitObject0, QORWaitForSingle(*watch, 5000));
      EXPECT_TRUE(watch->IsStale());
      ASSERT_TRUE(qortest::AskChild(child, "create|" + path));
      QORRegistryKey watched;
      ASSERT_EQ(ERROR_SUCCESS, key_.OpenSubKey(L"Watched", KEY_NOTIFY, watched));
      ASSERT_EQ(ERROR_SUCCESS, watched.Watch(filter, &again, subtree));
      const std::string change =
          filter == REG_NOTIFY_CHANGE_NAME ? "create|" + path + "\\Sub" : "set|" + path + "|Value";
      ASSERT_TRUE(qortest::AskChild(child, change));
      EXPECT_EQ(kQORWaitTimeout, QORWaitForSingle(*watch, 0));
      EXPECT_EQ(kQORWaitObject0, QORWaitForSingle(*again, 5000));
      EXPECT_FALSE(again->IsStale());
      ASSERT_TRUE(qortest::AskChild(child, "delete|" + path));
    }
  }
}

}  // namespace
