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
  QORRegistryKey CreateBase() {
    QORRegistryKey key;
    EXPECT_EQ(ERROR_SUCCESS,
              QORRegistryKey::Create(QORRegistryHive::kLocalMachine, kBase, KEY_ALL_ACCESS, key));
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

  ASSERT_EQ(ERROR_SUCCESS, base.SetDword(L"ApoOpMode:Music/Speakers", 1));
  ASSERT_EQ(ERROR_SUCCESS, base.SetDword(L"APOOPMODE:MUSIC/speakers", 2));
  uint32_t value = 0;
  EXPECT_EQ(ERROR_SUCCESS, base.GetDword(L"apoopmode:music/SPEAKERS", &value));
  EXPECT_EQ(2u, value);
  EXPECT_EQ(std::vector<std::wstring>{L"ApoOpMode:Music/Speakers"}, ValueNames(base));
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
}

TEST_F(QORRegistryKeyTest, KeyErrorCodes) {
  QORRegistryKey key;
  EXPECT_EQ(ERROR_FILE_NOT_FOUND,
            QORRegistryKey::Open(QORRegistryHive::kLocalMachine, L"No\\Such", KEY_READ, key));
  key = CreateBase();
  ASSERT_EQ(ERROR_SUCCESS, key.SetString(L"Name", L"abc"));
  uint32_t type = 0;
  EXPECT_EQ(ERROR_FILE_NOT_FOUND, key.QueryValue(L"absent", &type, nullptr, nullptr));
  uint8_t buffer[8] = {};
  uint32_t size = 7;
  EXPECT_EQ(ERROR_MORE_DATA, key.QueryValue(L"name", &type, buffer, &size));
  EXPECT_EQ(8u, size);
  std::wstring name;
  EXPECT_EQ(ERROR_NO_MORE_ITEMS, key.EnumValue(1, &name, &type, nullptr));
}

TEST_F(QORRegistryKeyTest, HostileNamesStayInsideTheirKey) {
  QORRegistryKey key = CreateBase();
  const std::vector<std::wstring> valueNames{L"..",           L"../../../escape", L"/etc/x",
                                             L"a\\..\\..\\b", L".tmpvalue",       L"v"};
  for (const std::wstring& name : valueNames) {
    ASSERT_EQ(ERROR_SUCCESS, key.SetString(name, name)) << QORWideToUtf8(name);
  }
  EXPECT_EQ(valueNames.size(), ValueNames(key).size());

  // Key names: "." and ".." are plain names; "/" is an ordinary character.
  const std::vector<std::wstring> keyNames{L"..", L".", L"a/../../b"};
  for (const std::wstring& name : keyNames) {
    QORRegistryKey sub;
    ASSERT_EQ(ERROR_SUCCESS, key.CreateSubKey(name, KEY_ALL_ACCESS, sub));
    ASSERT_EQ(ERROR_SUCCESS, sub.SetDword(L"marker", 7));
  }
  EXPECT_EQ(keyNames.size(), SubKeys(key).size());
  QORRegistryKey sub;
  EXPECT_EQ(ERROR_FILE_NOT_FOUND, key.OpenSubKey(L"..\\x", KEY_READ, sub));

  // Nothing was written outside the hive.
  const std::filesystem::path hive = std::filesystem::path(root_.Path()) / "registry" / "HKLM";
  for (const auto& entry : std::filesystem::recursive_directory_iterator(root_.Path())) {
    if (entry.path() == hive.parent_path()) continue;
    EXPECT_EQ(0u, entry.path().string().rfind(hive.string(), 0)) << entry.path();
  }
}

TEST_F(QORRegistryKeyTest, MalformedValuesAndDamagedFilesAreRefused) {
  QORRegistryKey key = CreateBase();
  constexpr auto kInvalid = static_cast<uint32_t>(ERROR_INVALID_PARAMETER);
  EXPECT_EQ(kInvalid, key.SetValue(L"d", REG_DWORD, "abcdefgh", 8));
  EXPECT_EQ(kInvalid, key.SetValue(L"q", REG_QWORD, "abcd", 4));
  EXPECT_EQ(kInvalid, key.SetDword(std::wstring(L"a\0b", 3), 1));
  QORRegistryKey sub;
  EXPECT_EQ(kInvalid, key.CreateSubKey(std::wstring(L"a\0b", 3), KEY_READ, sub));
  EXPECT_EQ(kInvalid, key.SetMultiString(L"m", {L"a", L"", L"b"}));
  ASSERT_EQ(ERROR_SUCCESS, key.SetDword(L"good", 1));
  ASSERT_EQ(ERROR_SUCCESS, key.SetDword(L"bad", 1));
  const std::filesystem::path dir = std::filesystem::path(root_.Path()) / "registry" / "HKLM" /
                                    QORRegistryName::FileName('k', L"Software") /
                                    QORRegistryName::FileName('k', L"QOR Labs") /
                                    QORRegistryName::FileName('k', L"APO");
  std::ofstream(dir / QORRegistryName::FileName('v', L"bad"), std::ios::trunc) << "QRV1\x01";
  uint32_t value = 0;
  EXPECT_EQ(ERROR_BADDB, key.GetDword(L"bad", &value));
  EXPECT_EQ(std::vector<std::wstring>{L"good"}, ValueNames(key));
}

}  // namespace
