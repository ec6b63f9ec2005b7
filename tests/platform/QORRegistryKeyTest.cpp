#include "platform/QORRegistryKey.h"

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "ChildProcess.h"
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

  // The directory of the key kBase (plus subkeys).
  std::filesystem::path KeyDir(const std::vector<std::wstring>& subKeys = {}) const {
    std::filesystem::path dir = std::filesystem::path(root_.Path()) / "registry" / "HKLM";
    for (const wchar_t* part : {L"Software", L"QOR Labs", L"APO"}) {
      dir /= QORRegistryName::FileName(QORRegistryName::kKeyPrefix, part);
    }
    for (const std::wstring& part : subKeys) {
      dir /= QORRegistryName::FileName(QORRegistryName::kKeyPrefix, part);
    }
    return dir;
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

std::vector<std::string> Temporaries(const std::filesystem::path& dir) {
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(dir)) {
    const std::string name = entry.path().filename().string();
    if (QORRegistryName::IsTemporary(name)) names.push_back(name);
  }
  return names;
}

// One registry call on kBase, told to the parent as "<call> <result>"; the parent bounds the wait,
// so a call that blocks shows as silence.
int StoredFileCallChild(const std::vector<std::string>& args) {
  QORRegistryKey key;
  if (QORRegistryKey::Open(QORRegistryHive::kLocalMachine, kBase, KEY_ALL_ACCESS, key) !=
      ERROR_SUCCESS) {
    return 1;
  }
  const std::string& call = args.at(0);
  std::string told;
  if (call == "query") {
    uint32_t value = 0;
    told = std::to_string(key.GetDword(L"Piped", &value));
  } else if (call == "enum-value") {
    std::wstring name;
    for (uint32_t i = 0; key.EnumValue(i, &name, nullptr, nullptr) == ERROR_SUCCESS; ++i) {
      told += QORWideToUtf8(name) + ";";
    }
  } else if (call == "enum-subkey") {
    std::wstring name;
    for (uint32_t i = 0; key.EnumSubKey(i, name) == ERROR_SUCCESS; ++i) {
      told += QORWideToUtf8(name) + ";";
    }
  } else if (call == "set") {
    told = std::to_string(key.SetDword(L"Piped", 5));
  } else if (call == "get") {
    uint32_t value = 0;
    told = std::to_string(key.GetDword(L"Piped", &value));
    told += " " + std::to_string(value);
  }
  qortest::ChildSay(call + " " + told);
  return 0;
}
qortest::ChildRegistration storedFileCall("registry-stored-file-call", &StoredFileCallChild);

TEST_F(QORRegistryKeyTest, FifosInTheStoreNeverBlockACall) {
  QORRegistryKey key = CreateBase();
  QORRegistryKey sub;
  ASSERT_EQ(ERROR_SUCCESS, key.SetDword(L"Good", 1));
  ASSERT_EQ(ERROR_SUCCESS, key.SetDword(L"Piped", 1));
  ASSERT_EQ(ERROR_SUCCESS, key.CreateSubKey(L"Keyed", KEY_ALL_ACCESS, sub));
  ASSERT_EQ(ERROR_SUCCESS, key.CreateSubKey(L"Plumbed", KEY_ALL_ACCESS, sub));
  const std::filesystem::path valueFile =
      KeyDir() / QORRegistryName::FileName(QORRegistryName::kValuePrefix, L"Piped");
  const std::filesystem::path spellingFile = KeyDir({L"Plumbed"}) / "n";
  for (const std::filesystem::path& file : {valueFile, spellingFile}) {
    ASSERT_TRUE(std::filesystem::remove(file));
    ASSERT_EQ(0, ::mkfifo(file.c_str(), 0660));
  }

  const std::pair<const char*, std::string> calls[] = {
      {"query", "query 1009"},  // ERROR_BADDB, like any damaged value
      {"enum-value", "enum-value Good;"},
      {"enum-subkey", "enum-subkey Keyed;"},
      {"set", "set 0"},  // the FIFO is replaced by the value
      {"get", "get 0 5"},
  };
  for (const auto& [call, expected] : calls) {
    qortest::ChildProcess child;
    ASSERT_TRUE(child.Start("registry-stored-file-call", {call}));
    std::string line;
    EXPECT_TRUE(child.ReadLine(line, 5000)) << call << " did not return within 5 s";
    EXPECT_EQ(expected, line);
  }
}

TEST_F(QORRegistryKeyTest, LinksInTheStoreAreNeverFollowed) {
  const std::filesystem::path root(root_.Path());
  const std::filesystem::path victim = root / "victim";
  std::filesystem::create_directory(victim);
  QORRegistryKey key;
  // A link in place of the registry folder, then in place of a hive.
  std::filesystem::create_directory_symlink(victim, root / "registry");
  EXPECT_NE(ERROR_SUCCESS,
            QORRegistryKey::Create(QORRegistryHive::kLocalMachine, kBase, KEY_ALL_ACCESS, key));
  EXPECT_NE(ERROR_SUCCESS,
            QORRegistryKey::Open(QORRegistryHive::kLocalMachine, L"", KEY_READ, key));
  std::filesystem::remove(root / "registry");
  std::filesystem::create_directory(root / "registry");
  std::filesystem::create_directory_symlink(victim, root / "registry" / "HKCR");
  EXPECT_NE(ERROR_SUCCESS,
            QORRegistryKey::Create(QORRegistryHive::kClassesRoot, L"CLSID", KEY_ALL_ACCESS, key));
  EXPECT_TRUE(std::filesystem::is_empty(victim));

  // A link in place of a value file: the value reads as damaged and a write replaces the link.
  key = CreateBase();
  const std::filesystem::path target = victim / "file";
  std::ofstream(target) << "keep";
  ASSERT_EQ(ERROR_SUCCESS, key.SetDword(L"Linked", 1));
  const std::filesystem::path valueFile =
      KeyDir() / QORRegistryName::FileName(QORRegistryName::kValuePrefix, L"Linked");
  std::filesystem::remove(valueFile);
  std::filesystem::create_symlink(target, valueFile);
  uint32_t value = 0;
  EXPECT_EQ(ERROR_BADDB, key.GetDword(L"Linked", &value));
  EXPECT_EQ(ERROR_SUCCESS, key.SetDword(L"Linked", 2));
  EXPECT_EQ(ERROR_SUCCESS, key.GetDword(L"Linked", &value));
  EXPECT_EQ(2u, value);
  EXPECT_EQ(4u, std::filesystem::file_size(target));
}

TEST_F(QORRegistryKeyTest, NamesThatAreNoTextAreRefused) {
  QORRegistryKey key = CreateBase();
  const std::wstring replacement = L"a\uFFFDb";
  ASSERT_EQ(ERROR_SUCCESS, key.SetDword(replacement, 1));
  for (const wchar_t bad : {wchar_t(0xD800), wchar_t(0xDBFF), wchar_t(0xDC00), wchar_t(0x110000)}) {
    const std::wstring name = std::wstring(L"a") + bad + L"b";
    EXPECT_EQ(ERROR_INVALID_PARAMETER, key.SetDword(name, 2))
        << std::hex << static_cast<uint32_t>(bad);
    QORRegistryKey sub;
    EXPECT_EQ(ERROR_INVALID_PARAMETER, key.CreateSubKey(name, KEY_ALL_ACCESS, sub));
    EXPECT_EQ(ERROR_INVALID_PARAMETER, key.CreateSubKey(L"x\\" + name, KEY_ALL_ACCESS, sub));
  }
  uint32_t value = 0;
  EXPECT_EQ(ERROR_SUCCESS, key.GetDword(replacement, &value));
  EXPECT_EQ(1u, value);
  EXPECT_EQ(std::vector<std::wstring>{replacement}, ValueNames(key));
  EXPECT_TRUE(SubKeys(key).empty());
}

TEST_F(QORRegistryKeyTest, ValueNameLengthCountsUtf16Units) {
  QORRegistryKey key = CreateBase();
  constexpr wchar_t kAstral = 0x1F3B5;
  constexpr auto kInvalid = static_cast<uint32_t>(ERROR_INVALID_PARAMETER);
  // 16,383 characters but 32,766 units: too long, refused before anything is stored.
  EXPECT_EQ(kInvalid, key.SetDword(std::wstring(16383, kAstral), 1));
  std::wstring longest(8191, kAstral);
  longest += L'x';  // 16,383 units
  ASSERT_EQ(ERROR_SUCCESS, key.SetDword(longest, 7));
  uint32_t value = 0;
  EXPECT_EQ(ERROR_SUCCESS, key.GetDword(longest, &value));
  EXPECT_EQ(7u, value);
  EXPECT_EQ(std::vector<std::wstring>{longest}, ValueNames(key));
  EXPECT_EQ(kInvalid, key.SetDword(longest + L'y', 1));
  const std::wstring plain(16383, L'z');
  EXPECT_EQ(ERROR_SUCCESS, key.SetDword(plain, 1));
  EXPECT_EQ(kInvalid, key.SetDword(plain + L'z', 1));
  EXPECT_EQ(2u, ValueNames(key).size());
}

// Deletes kBase\Deep with only a few descriptors to spare.
int DeepDeleteChild(const std::vector<std::string>&) {
  rlimit limit{};
  ::getrlimit(RLIMIT_NOFILE, &limit);
  limit.rlim_cur = 16;
  if (::setrlimit(RLIMIT_NOFILE, &limit) != 0) return 1;
  const std::wstring deep = std::wstring(kBase) + L"\\Deep";
  qortest::ChildSay(
      std::to_string(QORRegistryKey::DeleteTree(QORRegistryHive::kLocalMachine, deep)));
  return 0;
}
qortest::ChildRegistration deepDelete("registry-deep-delete", &DeepDeleteChild);

TEST_F(QORRegistryKeyTest, DeepTreeIsDeletedCompletelyUnderADescriptorLimit) {
  QORRegistryKey key = CreateBase();
  std::wstring path = L"Deep";
  for (int level = 1; level < 2000; ++level) path += L"\\d";
  QORRegistryKey leaf;
  ASSERT_EQ(ERROR_SUCCESS, key.CreateSubKey(path, KEY_ALL_ACCESS, leaf));
  ASSERT_EQ(ERROR_SUCCESS, leaf.SetDword(L"AtTheBottom", 1));
  leaf.Close();

  qortest::ChildProcess child;
  ASSERT_TRUE(child.Start("registry-deep-delete"));
  std::string line;
  ASSERT_TRUE(child.ReadLine(line, 60000));
  EXPECT_EQ(0, child.Wait());
  EXPECT_EQ(std::to_string(ERROR_SUCCESS), line);
  // Success means nothing is left: no key, and no renamed-away remains beside the spelling file.
  QORRegistryKey gone;
  EXPECT_EQ(ERROR_FILE_NOT_FOUND, key.OpenSubKey(L"Deep", KEY_READ, gone));
  std::vector<std::string> left;
  for (const auto& entry : std::filesystem::directory_iterator(KeyDir())) {
    left.push_back(entry.path().filename().string());
  }
  EXPECT_EQ(std::vector<std::string>{"n"}, left);
}

TEST_F(QORRegistryKeyTest, QueryInfoCountsWhatTheEnumerationsList) {
  QORRegistryKey key = CreateBase();
  QORRegistryKey sub;
  ASSERT_EQ(ERROR_SUCCESS, key.SetDword(L"One", 1));
  ASSERT_EQ(ERROR_SUCCESS, key.SetString(L"Two", L"2"));
  ASSERT_EQ(ERROR_SUCCESS, key.CreateSubKey(L"Sub", KEY_ALL_ACCESS, sub));
  const std::filesystem::path dir = KeyDir();
  // Foreign entries: a file where a key is expected, a key folder without its spelling, a value
  // file under another value's name, garbage, a FIFO, a folder where a value is expected.
  std::ofstream(dir / "kfile") << "x";
  std::filesystem::create_directory(dir / "kbare");
  std::filesystem::copy_file(dir / QORRegistryName::FileName('v', L"One"), dir / "vother");
  std::ofstream(dir / "vjunk") << "QRV1";
  ASSERT_EQ(0, ::mkfifo((dir / "vpipe").c_str(), 0660));
  std::filesystem::create_directory(dir / "vfolder");

  uint32_t subKeys = 0;
  uint32_t values = 0;
  ASSERT_EQ(ERROR_SUCCESS, key.QueryInfo(&subKeys, &values));
  EXPECT_EQ(SubKeys(key).size(), subKeys);
  EXPECT_EQ(ValueNames(key).size(), values);
  EXPECT_EQ(1u, subKeys);
  EXPECT_EQ(2u, values);
}

// Rewrites a large value until killed, so that a kill lands mid-write.
int EndlessWriterChild(const std::vector<std::string>& args) {
  QORRegistryKey key;
  if (QORRegistryKey::Open(QORRegistryHive::kLocalMachine, kBase, KEY_SET_VALUE, key) !=
      ERROR_SUCCESS) {
    return 1;
  }
  const std::vector<uint8_t> blob(8u << 20, 0x5A);
  qortest::ChildSay("ready");
  const bool endless = args.empty();
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(1000);
  while (endless || std::chrono::steady_clock::now() < end) {
    if (key.SetBinary(endless ? L"Big" : L"Theirs", endless ? blob : std::vector<uint8_t>(64, 1)) !=
        ERROR_SUCCESS) {
      return 2;
    }
  }
  qortest::ChildSay("done");
  return 0;
}
qortest::ChildRegistration endlessWriter("registry-endless-writer", &EndlessWriterChild);

TEST_F(QORRegistryKeyTest, TemporariesOfKilledWritersAreCleanedByTheNextWrite) {
  QORRegistryKey key = CreateBase();
  const std::filesystem::path dir = KeyDir();
  bool leftOver = false;
  for (int attempt = 0; attempt < 20 && !leftOver; ++attempt) {
    qortest::ChildProcess child;
    ASSERT_TRUE(child.Start("registry-endless-writer"));
    ASSERT_TRUE(child.WaitFor("ready"));
    // Kill the writer as soon as its temporary file shows.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (Temporaries(dir).empty() && std::chrono::steady_clock::now() < deadline) {
      std::this_thread::yield();
    }
    child.Kill(SIGKILL);
    child.Wait();
    leftOver = !Temporaries(dir).empty();
  }
  ASSERT_TRUE(leftOver) << "no write was caught in the middle";
  ASSERT_EQ(ERROR_SUCCESS, key.SetDword(L"Next", 1));
  EXPECT_EQ(std::vector<std::string>{}, Temporaries(dir));
}

TEST_F(QORRegistryKeyTest, TemporariesOfLiveWritersAreLeftAlone) {
  QORRegistryKey key = CreateBase();
  qortest::ChildProcess child;
  ASSERT_TRUE(child.Start("registry-endless-writer", {"for a second"}));
  ASSERT_TRUE(child.WaitFor("ready"));
  const std::vector<uint8_t> mine(64, 2);
  uint32_t writes = 0;
  std::string line;
  bool done = false;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (!done && std::chrono::steady_clock::now() < deadline) {
    ASSERT_EQ(ERROR_SUCCESS, key.SetBinary(L"Mine", mine));
    ++writes;
    done = child.ReadLine(line, 5);
  }
  EXPECT_TRUE(done);
  EXPECT_EQ("done", line);
  EXPECT_EQ(0, child.Wait());
  EXPECT_GT(writes, 10u);
}

}  // namespace
