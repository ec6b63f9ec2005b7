#include "platform/QORRegistryKey.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "TempStateRoot.h"
#include "common/QORTextConvert.h"
#include "platform/posix/QORRegistryName.h"

namespace {

constexpr wchar_t kBase[] = L"Software\\QOR Labs\\APO";

class QORRegistryKeyTest : public ::testing::Test {
 protected:
  QORRegistryKey CreateBase(uint32_t rights = KEY_ALL_ACCESS) {
    QORRegistryKey key;
    EXPECT_EQ(ERROR_SUCCESS,
              QORRegistryKey::Create(QORRegistryHive::kLocalMachine, kBase, rights, key));
    return key;
  }

  std::vector<std::wstring> SubKeys(const QORRegistryKey& key) {
    std::vector<std::wstring> names;
    std::wstring name;
    for (uint32_t i = 0; key.EnumSubKey(i, name) == ERROR_SUCCESS; ++i) names.push_back(name);
    return names;
  }

  std::vector<std::wstring> ValueNames(const QORRegistryKey& key) {
    std::vector<std::wstring> names;
    std::wstring name;
    for (uint32_t i = 0; key.EnumValue(i, &name, nullptr, nullptr) == ERROR_SUCCESS; ++i) {
      names.push_back(name);
    }
    return names;
  }

  std::filesystem::path HiveDir() const {
    return std::filesystem::path(root_.Path()) / "registry" / "HKLM";
  }

  qortest::TempStateRoot root_;
};

TEST_F(QORRegistryKeyTest, NamesIgnoreCaseAndKeepFirstSpelling) {
  QORRegistryKey created;
  bool wasCreated = false;
  ASSERT_EQ(ERROR_SUCCESS, QORRegistryKey::Create(QORRegistryHive::kLocalMachine,
                                                  L"Software\\QOR Labs\\APO\\{AbC}.Dev",
                                                  KEY_ALL_ACCESS, created, &wasCreated));
  EXPECT_TRUE(wasCreated);

  QORRegistryKey again;
  ASSERT_EQ(ERROR_SUCCESS, QORRegistryKey::Create(QORRegistryHive::kLocalMachine,
                                                  L"SOFTWARE\\qor labs\\apo\\{ABC}.DEV\\",
                                                  KEY_ALL_ACCESS, again, &wasCreated));
  EXPECT_FALSE(wasCreated);

  QORRegistryKey base = CreateBase();
  EXPECT_EQ(std::vector<std::wstring>{L"{AbC}.Dev"}, SubKeys(base));

  // Non-ASCII letters fold too.
  QORRegistryKey accented;
  ASSERT_EQ(ERROR_SUCCESS, base.CreateSubKey(L"Ärger", KEY_READ, accented));
  EXPECT_EQ(ERROR_SUCCESS, base.OpenSubKey(L"äRGER", KEY_READ, accented));
  EXPECT_EQ((std::vector<std::wstring>{L"{AbC}.Dev", L"Ärger"}), SubKeys(base));

  ASSERT_EQ(ERROR_SUCCESS, base.SetDword(L"ApoOpMode:Music/Speakers", 1));
  ASSERT_EQ(ERROR_SUCCESS, base.SetDword(L"APOOPMODE:MUSIC/speakers", 2));
  uint32_t value = 0;
  EXPECT_EQ(ERROR_SUCCESS, base.GetDword(L"apoopmode:music/SPEAKERS", &value));
  EXPECT_EQ(2u, value);
  // The empty name is the key's default value, distinct from the others.
  ASSERT_EQ(ERROR_SUCCESS, base.SetString(L"", L"default"));
  EXPECT_EQ((std::vector<std::wstring>{L"", L"ApoOpMode:Music/Speakers"}), ValueNames(base));
}

TEST_F(QORRegistryKeyTest, StoredLayoutOfEachType) {
  QORRegistryKey key = CreateBase();
  ASSERT_EQ(ERROR_SUCCESS, key.SetDword(L"d", 0x11223344u));
  ASSERT_EQ(ERROR_SUCCESS, key.SetQword(L"q", 0x0102030405060708ull));
  ASSERT_EQ(ERROR_SUCCESS, key.SetString(L"s", L"A\u00e9"));
  ASSERT_EQ(ERROR_SUCCESS, key.SetString(L"e", L"%X%", REG_EXPAND_SZ));
  ASSERT_EQ(ERROR_SUCCESS, key.SetMultiString(L"m", {L"a", L"bc"}));
  const std::vector<uint8_t> blob{0, 1, 2, 0xFF};
  ASSERT_EQ(ERROR_SUCCESS, key.SetBinary(L"b", blob));

  struct Expected {
    const wchar_t* name;
    uint32_t type;
    std::vector<uint8_t> bytes;
  };
  const Expected expected[] = {
      {L"d", REG_DWORD, {0x44, 0x33, 0x22, 0x11}},
      {L"q", REG_QWORD, {8, 7, 6, 5, 4, 3, 2, 1}},
      {L"s", REG_SZ, {'A', 0, 0xE9, 0, 0, 0}},
      {L"e", REG_EXPAND_SZ, {'%', 0, 'X', 0, '%', 0, 0, 0}},
      {L"m", REG_MULTI_SZ, {'a', 0, 0, 0, 'b', 0, 'c', 0, 0, 0, 0, 0}},
      {L"b", REG_BINARY, blob},
  };
  for (const Expected& e : expected) {
    uint32_t type = 0;
    std::vector<uint8_t> bytes;
    ASSERT_EQ(ERROR_SUCCESS, key.QueryValue(e.name, &type, &bytes));
    EXPECT_EQ(e.type, type);
    EXPECT_EQ(e.bytes, bytes);
  }

  std::wstring text;
  EXPECT_EQ(ERROR_SUCCESS, key.GetString(L"e", &text));  // not expanded
  EXPECT_EQ(L"%X%", text);
  std::vector<std::wstring> list;
  EXPECT_EQ(ERROR_SUCCESS, key.GetMultiString(L"m", &list));
  EXPECT_EQ((std::vector<std::wstring>{L"a", L"bc"}), list);

  uint32_t dword = 0;
  EXPECT_EQ(static_cast<uint32_t>(ERROR_UNSUPPORTED_TYPE), key.GetDword(L"s", &dword));
  EXPECT_EQ(static_cast<uint32_t>(ERROR_UNSUPPORTED_TYPE), key.GetString(L"d", &text));
  // Sizes must fit the numeric types.
  EXPECT_EQ(static_cast<uint32_t>(ERROR_INVALID_PARAMETER),
            key.SetValue(L"d", REG_DWORD, "abc", 3));
  EXPECT_EQ(static_cast<uint32_t>(ERROR_INVALID_PARAMETER),
            key.SetValue(L"x", REG_BINARY, nullptr, 2));
  ASSERT_EQ(ERROR_SUCCESS, key.SetValue(L"empty", REG_BINARY, nullptr, 0));
  std::vector<uint8_t> bytes{9};
  EXPECT_EQ(ERROR_SUCCESS, key.QueryValue(L"empty", nullptr, &bytes));
  EXPECT_TRUE(bytes.empty());
}

TEST_F(QORRegistryKeyTest, RawQueryReportsSizeAndMoreData) {
  QORRegistryKey key = CreateBase();
  ASSERT_EQ(ERROR_SUCCESS, key.SetString(L"Name", L"abc"));
  uint32_t type = 0;
  uint32_t size = 0;
  EXPECT_EQ(ERROR_SUCCESS, key.QueryValue(L"name", &type, nullptr, &size));
  EXPECT_EQ(REG_SZ, type);
  EXPECT_EQ(8u, size);

  uint8_t buffer[8] = {0xAA, 0xAA, 0xAA, 0xAA, 0xAA, 0xAA, 0xAA, 0xAA};
  size = 7;
  EXPECT_EQ(ERROR_MORE_DATA, key.QueryValue(L"name", &type, buffer, &size));
  EXPECT_EQ(8u, size);
  EXPECT_EQ(0xAA, buffer[0]);
  EXPECT_EQ(ERROR_SUCCESS, key.QueryValue(L"name", &type, buffer, &size));
  EXPECT_EQ(0, buffer[7]);
  EXPECT_EQ('c', buffer[4]);
  EXPECT_EQ(static_cast<uint32_t>(ERROR_INVALID_PARAMETER),
            key.QueryValue(L"name", &type, buffer, nullptr));
}

TEST_F(QORRegistryKeyTest, MissingThingsAndEnumerationEnd) {
  QORRegistryKey key;
  EXPECT_EQ(ERROR_FILE_NOT_FOUND,
            QORRegistryKey::Open(QORRegistryHive::kLocalMachine, L"No\\Such", KEY_READ, key));
  EXPECT_FALSE(key.IsOpen());
  key = CreateBase();
  uint32_t type = 0;
  EXPECT_EQ(ERROR_FILE_NOT_FOUND, key.QueryValue(L"absent", &type, nullptr, nullptr));
  EXPECT_EQ(ERROR_FILE_NOT_FOUND, key.DeleteValue(L"absent"));
  std::wstring name;
  EXPECT_EQ(ERROR_NO_MORE_ITEMS, key.EnumValue(0, &name, nullptr, nullptr));
  EXPECT_EQ(ERROR_NO_MORE_ITEMS, key.EnumSubKey(0, name));
  ASSERT_EQ(ERROR_SUCCESS, key.SetDword(L"one", 1));
  EXPECT_EQ(ERROR_SUCCESS, key.EnumValue(0, &name, &type, nullptr));
  EXPECT_EQ(ERROR_NO_MORE_ITEMS, key.EnumValue(1, &name, &type, nullptr));
  EXPECT_EQ(ERROR_BAD_PATHNAME, key.OpenSubKey(L"a\\\\b", KEY_READ, key));
  QORRegistryKey closed;
  EXPECT_EQ(ERROR_INVALID_HANDLE, closed.SetDword(L"x", 1));
}

TEST_F(QORRegistryKeyTest, RightsOfTheHandleAreEnforced) {
  CreateBase();
  QORRegistryKey reader;
  // The 64-bit view flag is accepted and changes nothing.
  ASSERT_EQ(ERROR_SUCCESS, QORRegistryKey::Open(QORRegistryHive::kLocalMachine, kBase,
                                                KEY_QUERY_VALUE | KEY_WOW64_64KEY, reader));
  EXPECT_EQ(ERROR_ACCESS_DENIED, reader.SetDword(L"x", 1));
  EXPECT_EQ(ERROR_ACCESS_DENIED, reader.DeleteValue(L"x"));
  std::wstring name;
  EXPECT_EQ(ERROR_ACCESS_DENIED, reader.EnumSubKey(0, name));
  QORRegistryKey child;
  EXPECT_EQ(ERROR_ACCESS_DENIED, reader.CreateSubKey(L"c", KEY_READ, child));
  std::unique_ptr<QORRegistryWatch> watch;
  EXPECT_EQ(ERROR_ACCESS_DENIED, reader.Watch(REG_NOTIFY_CHANGE_LAST_SET, &watch));

  QORRegistryKey writer;
  ASSERT_EQ(ERROR_SUCCESS,
            QORRegistryKey::Open(QORRegistryHive::kLocalMachine, kBase, KEY_SET_VALUE, writer));
  EXPECT_EQ(ERROR_SUCCESS, writer.SetDword(L"x", 1));
  uint32_t value = 0;
  EXPECT_EQ(ERROR_ACCESS_DENIED, writer.GetDword(L"x", &value));
  EXPECT_EQ(ERROR_SUCCESS, reader.GetDword(L"x", &value));

  // Generic rights map onto the key rights; the duplicate keeps the rights.
  QORRegistryKey generic;
  ASSERT_EQ(ERROR_SUCCESS,
            QORRegistryKey::Open(QORRegistryHive::kLocalMachine, kBase, KEY_GENERIC_READ, generic));
  QORRegistryKey copy;
  ASSERT_EQ(ERROR_SUCCESS, generic.Duplicate(copy));
  generic.Close();
  EXPECT_EQ(KEY_READ, copy.Rights());
  EXPECT_EQ(ERROR_SUCCESS, copy.GetDword(L"x", &value));
  EXPECT_EQ(ERROR_ACCESS_DENIED, copy.SetDword(L"x", 2));
}

TEST_F(QORRegistryKeyTest, HostileNamesStayInsideTheirKey) {
  QORRegistryKey key = CreateBase();
  const std::vector<std::wstring> valueNames{
      L"..", L".", L"../../../escape", L"/etc/x", L"a\\..\\..\\b", L"%2E%2E", L".tmpvalue",
      L"n",  L"v"};
  for (const std::wstring& name : valueNames) {
    ASSERT_EQ(ERROR_SUCCESS, key.SetString(name, name)) << QORWideToUtf8(name);
  }
  for (const std::wstring& name : valueNames) {
    std::wstring text;
    ASSERT_EQ(ERROR_SUCCESS, key.GetString(name, &text));
    EXPECT_EQ(name, text);
  }
  EXPECT_EQ(valueNames.size(), ValueNames(key).size());

  // Key names: "." and ".." are plain names; "/" is an ordinary character.
  const std::vector<std::wstring> keyNames{L"..", L".", L"a/../../b", L"%2e"};
  for (const std::wstring& name : keyNames) {
    QORRegistryKey sub;
    ASSERT_EQ(ERROR_SUCCESS, key.CreateSubKey(name, KEY_ALL_ACCESS, sub));
    ASSERT_EQ(ERROR_SUCCESS, sub.SetDword(L"marker", 7));
  }
  EXPECT_EQ(keyNames.size(), SubKeys(key).size());
  QORRegistryKey sub;
  EXPECT_EQ(ERROR_FILE_NOT_FOUND, key.OpenSubKey(L"..\\x", KEY_READ, sub));

  // A NUL cannot be part of a name.
  EXPECT_EQ(static_cast<uint32_t>(ERROR_INVALID_PARAMETER),
            key.SetDword(std::wstring(L"a\0b", 3), 1));
  EXPECT_EQ(static_cast<uint32_t>(ERROR_INVALID_PARAMETER),
            key.CreateSubKey(std::wstring(L"a\0b", 3), KEY_READ, sub));

  // Nothing was written outside the hive.
  for (const auto& entry :
       std::filesystem::recursive_directory_iterator(std::filesystem::path(root_.Path()))) {
    const std::string path = entry.path().string();
    if (entry.path() == HiveDir().parent_path()) continue;
    EXPECT_EQ(0u, path.rfind(HiveDir().string(), 0)) << path;
  }
}

TEST_F(QORRegistryKeyTest, NameLengthLimits) {
  QORRegistryKey key = CreateBase();
  QORRegistryKey sub;
  EXPECT_EQ(ERROR_SUCCESS, key.CreateSubKey(std::wstring(255, L'K'), KEY_READ, sub));
  EXPECT_EQ(static_cast<uint32_t>(ERROR_INVALID_PARAMETER),
            key.CreateSubKey(std::wstring(256, L'K'), KEY_READ, sub));
  // Long value names are stored under a digest; two that differ only at the end stay apart.
  const std::wstring longA = std::wstring(2000, L'x') + L"A";
  const std::wstring longB = std::wstring(2000, L'x') + L"B";
  ASSERT_EQ(ERROR_SUCCESS, key.SetDword(longA, 1));
  ASSERT_EQ(ERROR_SUCCESS, key.SetDword(longB, 2));
  uint32_t value = 0;
  EXPECT_EQ(ERROR_SUCCESS, key.GetDword(std::wstring(2000, L'X') + L"a", &value));
  EXPECT_EQ(1u, value);
  EXPECT_EQ((std::vector<std::wstring>{longA, longB}), ValueNames(key));
  EXPECT_EQ(static_cast<uint32_t>(ERROR_INVALID_PARAMETER),
            key.SetDword(std::wstring(kQORRegistryMaxValueNameChars + 1, L'x'), 1));
}

TEST_F(QORRegistryKeyTest, DeleteKeysAndUseOfDeletedHandle) {
  QORRegistryKey parent = CreateBase();
  QORRegistryKey child;
  ASSERT_EQ(ERROR_SUCCESS, parent.CreateSubKey(L"Child\\Grand", KEY_ALL_ACCESS, child));
  ASSERT_EQ(ERROR_SUCCESS, child.SetDword(L"v", 1));
  EXPECT_EQ(ERROR_ACCESS_DENIED, parent.DeleteSubKey(L"child"));
  EXPECT_EQ(ERROR_SUCCESS, parent.DeleteSubKey(L"CHILD\\grand"));
  EXPECT_EQ(ERROR_KEY_DELETED, child.SetDword(L"v", 2));
  uint32_t value = 0;
  EXPECT_EQ(ERROR_KEY_DELETED, child.GetDword(L"v", &value));
  QORRegistryKey grand;
  EXPECT_EQ(ERROR_KEY_DELETED, child.CreateSubKey(L"x", KEY_READ, grand));

  ASSERT_EQ(ERROR_SUCCESS, parent.CreateSubKey(L"Child\\Grand\\Deep", KEY_READ, grand));
  EXPECT_EQ(ERROR_SUCCESS, QORRegistryKey::DeleteTree(QORRegistryHive::kLocalMachine,
                                                      std::wstring(kBase) + L"\\child"));
  EXPECT_EQ(ERROR_FILE_NOT_FOUND, parent.OpenSubKey(L"Child", KEY_READ, grand));
  EXPECT_EQ(ERROR_FILE_NOT_FOUND, parent.DeleteSubKey(L"Child"));
  EXPECT_TRUE(SubKeys(parent).empty());
}

TEST_F(QORRegistryKeyTest, HivesAreSeparateAndFollowTheStateRoot) {
  QORRegistryKey machine = CreateBase();
  ASSERT_EQ(ERROR_SUCCESS, machine.SetDword(L"where", 1));
  QORRegistryKey classes;
  EXPECT_EQ(ERROR_FILE_NOT_FOUND,
            QORRegistryKey::Open(QORRegistryHive::kClassesRoot, kBase, KEY_READ, classes));
  ASSERT_EQ(ERROR_SUCCESS, QORRegistryKey::Create(QORRegistryHive::kClassesRoot, L"CLSID\\{X}",
                                                  KEY_ALL_ACCESS, classes));
  {
    qortest::TempStateRoot other;
    QORRegistryKey elsewhere;
    EXPECT_EQ(ERROR_FILE_NOT_FOUND,
              QORRegistryKey::Open(QORRegistryHive::kLocalMachine, kBase, KEY_READ, elsewhere));
  }
  EXPECT_EQ(ERROR_SUCCESS,
            QORRegistryKey::Open(QORRegistryHive::kLocalMachine, kBase, KEY_READ, machine));
}

TEST_F(QORRegistryKeyTest, DamagedValueFilesAreRefusedAndSkipped) {
  QORRegistryKey key = CreateBase();
  ASSERT_EQ(ERROR_SUCCESS, key.SetDword(L"good", 1));
  ASSERT_EQ(ERROR_SUCCESS, key.SetDword(L"bad", 1));
  const std::filesystem::path dir = HiveDir() / QORRegistryName::FileName('k', L"Software") /
                                    QORRegistryName::FileName('k', L"QOR Labs") /
                                    QORRegistryName::FileName('k', L"APO");
  std::ofstream(dir / QORRegistryName::FileName('v', L"bad"), std::ios::trunc) << "QRV1\x01";
  uint32_t value = 0;
  EXPECT_EQ(ERROR_BADDB, key.GetDword(L"bad", &value));
  EXPECT_EQ(std::vector<std::wstring>{L"good"}, ValueNames(key));
}

}  // namespace
