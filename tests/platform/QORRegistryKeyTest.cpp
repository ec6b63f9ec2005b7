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

using Clock = std::chrono::steady_clock;
using Names = std::vector<std::wstring>;
namespace fs = std::filesystem;

constexpr wchar_t kBase[] = L"Software\\QOR Labs\\APO";
constexpr auto kInvalid = static_cast<uint32_t>(ERROR_INVALID_PARAMETER);
const std::vector<uint8_t> kLong(8192, 0xA5);
const std::vector<uint8_t> kShort{1, 2, 3};
const std::vector<uint8_t> kText{'o', 0, 'k', 0, 0, 0};

// The names of a key's values or subkeys, as the enumerations list them.
Names List(const QORRegistryKey& key, bool values) {
  Names names;
  std::wstring name;
  for (uint32_t i = 0; (values ? key.EnumValue(i, &name, nullptr, nullptr)
                               : key.EnumSubKey(i, name)) == ERROR_SUCCESS;
       ++i) {
    names.push_back(name);
  }
  return names;
}

// One registry job on kBase, chosen by args[0]; answers "<job> <result>". The parent bounds its
// wait, so a call that blocks shows as silence.
int RegistryChild(const std::vector<std::string>& args) {
  const std::string& job = args.at(0);
  QORRegistryKey key;
  uint32_t value = 0;
  std::string told;
  if (job == "delete-deep") {  // with only a few descriptors to spare
    rlimit limit{};
    ::getrlimit(RLIMIT_NOFILE, &limit);
    limit.rlim_cur = 16;
    if (::setrlimit(RLIMIT_NOFILE, &limit) != 0) return 1;
    told = std::to_string(QORRegistryKey::DeleteTree(QORRegistryHive::kLocalMachine,
                                                     std::wstring(kBase) + L"\\Deep"));
  } else if (QORRegistryKey::Open(QORRegistryHive::kLocalMachine, kBase, KEY_ALL_ACCESS, key) !=
             ERROR_SUCCESS) {
    return 1;
  } else if (job == "query" || job == "get") {
    told = std::to_string(key.GetDword(L"Piped", &value));
    if (job == "get") told += " " + std::to_string(value);
  } else if (job == "enum-value" || job == "enum-subkey") {
    for (const std::wstring& name : List(key, job == "enum-value")) {
      told += QORWideToUtf8(name) + ";";
    }
  } else if (job == "set") {
    told = std::to_string(key.SetDword(L"Piped", 5));
  } else if (job == "write-big") {  // until killed, so that a kill lands mid-write
    const std::vector<uint8_t> blob(8u << 20, 0x5A);
    qortest::ChildSay("ready");
    while (key.SetBinary(L"Big", blob) == ERROR_SUCCESS) {
    }
    return 2;
  } else if (job == "rewrite") {  // one value for a second, alternating contents, sizes, types
    qortest::ChildSay("ready");
    const auto end = Clock::now() + std::chrono::milliseconds(1000);
    for (uint32_t i = 0; Clock::now() < end; ++i) {
      const uint32_t result = i % 3 == 0   ? key.SetBinary(L"Blob", kLong)
                              : i % 3 == 1 ? key.SetBinary(L"Blob", kShort)
                                           : key.SetValue(L"Blob", REG_SZ, kText.data(), 6);
      if (result != ERROR_SUCCESS) return 2;
    }
    told = "done";
  }
  qortest::ChildSay(job + " " + told);
  return 0;
}
qortest::ChildRegistration registryChild("registry", &RegistryChild);

class QORRegistryKeyTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(ERROR_SUCCESS,
              QORRegistryKey::Create(QORRegistryHive::kLocalMachine, kBase, KEY_ALL_ACCESS, key_));
  }
  // The directory of kBase, or of a subkey of it.
  fs::path KeyDir(const wchar_t* subKey = nullptr) const {
    fs::path dir = fs::path(root_.Path()) / "registry" / "HKLM";
    for (const wchar_t* part : {L"Software", L"QOR Labs", L"APO", subKey}) {
      if (part != nullptr) dir /= QORRegistryName::FileName(QORRegistryName::kKeyPrefix, part);
    }
    return dir;
  }
  fs::path ValueFile(const wchar_t* name) const {
    return KeyDir() / QORRegistryName::FileName(QORRegistryName::kValuePrefix, name);
  }
  // The entries of kBase's directory, or its temporary files only.
  std::vector<std::string> Files(bool temporaries) const {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(KeyDir())) {
      const std::string name = entry.path().filename().string();
      if (!temporaries || QORRegistryName::IsTemporary(name)) names.push_back(name);
    }
    return names;
  }

  qortest::TempStateRoot root_;
  QORRegistryKey key_;
};

TEST_F(QORRegistryKeyTest, NamesIgnoreCaseKeepTheFirstSpellingAndStayInsideTheirKey) {
  QORRegistryKey sub;
  bool created = false;
  ASSERT_EQ(ERROR_SUCCESS, key_.CreateSubKey(L"{AbC}.Dev", KEY_ALL_ACCESS, sub, &created));
  EXPECT_TRUE(created);
  ASSERT_EQ(ERROR_SUCCESS, QORRegistryKey::Create(QORRegistryHive::kLocalMachine,
                                                  L"SOFTWARE\\qor labs\\apo\\{ABC}.DEV\\",
                                                  KEY_ALL_ACCESS, sub, &created));
  EXPECT_FALSE(created);
  EXPECT_EQ(Names{L"{AbC}.Dev"}, List(key_, false));
  ASSERT_EQ(ERROR_SUCCESS, key_.SetDword(L"ApoOpMode:Music/Speakers", 1));
  ASSERT_EQ(ERROR_SUCCESS, key_.SetDword(L"APOOPMODE:MUSIC/speakers", 2));
  uint32_t value = 0;
  EXPECT_EQ(ERROR_SUCCESS, key_.GetDword(L"apoopmode:music/SPEAKERS", &value));
  EXPECT_EQ(2u, value);
  EXPECT_EQ(Names{L"ApoOpMode:Music/Speakers"}, List(key_, true));

  // Hostile names are plain names: "." and ".." too, and "/" is an ordinary character.
  for (const wchar_t* name :
       {L"..", L"../../../escape", L"/etc/x", L"a\\..\\..\\b", L".tmpvalue"}) {
    ASSERT_EQ(ERROR_SUCCESS, key_.SetString(name, name)) << QORWideToUtf8(name);
  }
  EXPECT_EQ(6u, List(key_, true).size());
  for (const wchar_t* name : {L"..", L".", L"a/../../b"}) {
    ASSERT_EQ(ERROR_SUCCESS, key_.CreateSubKey(name, KEY_ALL_ACCESS, sub));
    ASSERT_EQ(ERROR_SUCCESS, sub.SetDword(L"marker", 7));
  }
  EXPECT_EQ(4u, List(key_, false).size());
  EXPECT_EQ(ERROR_FILE_NOT_FOUND, key_.OpenSubKey(L"..\\x", KEY_READ, sub));
  const fs::path hive = fs::path(root_.Path()) / "registry" / "HKLM";
  for (const auto& entry : fs::recursive_directory_iterator(root_.Path())) {
    if (entry.path() == hive.parent_path()) continue;
    EXPECT_EQ(0u, entry.path().string().rfind(hive.string(), 0)) << entry.path();
  }
}

TEST_F(QORRegistryKeyTest, MalformedNamesAndValuesAreRefused) {
  QORRegistryKey sub;
  EXPECT_EQ(kInvalid, key_.SetValue(L"d", REG_DWORD, "abcdefgh", 8));
  EXPECT_EQ(kInvalid, key_.SetValue(L"q", REG_QWORD, "abcd", 4));
  EXPECT_EQ(kInvalid, key_.SetDword(std::wstring(L"a\0b", 3), 1));
  EXPECT_EQ(kInvalid, key_.CreateSubKey(std::wstring(L"a\0b", 3), KEY_READ, sub));
  EXPECT_EQ(kInvalid, key_.SetMultiString(L"m", {L"a", L"", L"b"}));
  // Names UTF-16 cannot hold: refused, not stored under the replacement character's file.
  const std::wstring replacement = L"a\uFFFDb";
  ASSERT_EQ(ERROR_SUCCESS, key_.SetDword(replacement, 1));
  for (const wchar_t bad : {wchar_t(0xD800), wchar_t(0xDBFF), wchar_t(0xDC00), wchar_t(0x110000)}) {
    const std::wstring name = std::wstring(L"a") + bad + L"b";
    EXPECT_EQ(ERROR_INVALID_PARAMETER, key_.SetDword(name, 2))
        << std::hex << static_cast<uint32_t>(bad);
    EXPECT_EQ(ERROR_INVALID_PARAMETER, key_.CreateSubKey(name, KEY_ALL_ACCESS, sub));
    EXPECT_EQ(ERROR_INVALID_PARAMETER, key_.CreateSubKey(L"x\\" + name, KEY_ALL_ACCESS, sub));
  }
  uint32_t value = 0;
  EXPECT_EQ(ERROR_SUCCESS, key_.GetDword(replacement, &value));
  EXPECT_EQ(1u, value);
  ASSERT_EQ(ERROR_SUCCESS, key_.SetDword(L"bad", 1));  // then damaged: unreadable and unlisted
  std::ofstream(ValueFile(L"bad"), std::ios::trunc) << "QRV1\x01";
  EXPECT_EQ(ERROR_BADDB, key_.GetDword(L"bad", &value));
  EXPECT_EQ(Names{replacement}, List(key_, true));
  EXPECT_TRUE(List(key_, false).empty());

  // Lengths count UTF-16 units on writing and reading alike.
  QORRegistryKey key;
  ASSERT_EQ(ERROR_SUCCESS, key_.CreateSubKey(L"Long", KEY_ALL_ACCESS, key));
  constexpr wchar_t kAstral = 0x1F3B5;
  // 16,383 characters but 32,766 units: too long, refused before anything is stored.
  EXPECT_EQ(kInvalid, key.SetDword(std::wstring(16383, kAstral), 1));
  std::wstring longest(8191, kAstral);
  longest += L'x';  // 16,383 units
  ASSERT_EQ(ERROR_SUCCESS, key.SetDword(longest, 7));
  EXPECT_EQ(ERROR_SUCCESS, key.GetDword(longest, &value));
  EXPECT_EQ(7u, value);
  EXPECT_EQ(Names{longest}, List(key, true));
  EXPECT_EQ(kInvalid, key.SetDword(longest + L'y', 1));
  const std::wstring plain(16383, L'z');
  EXPECT_EQ(ERROR_SUCCESS, key.SetDword(plain, 1));
  EXPECT_EQ(kInvalid, key.SetDword(plain + L'z', 1));
  EXPECT_EQ(2u, List(key, true).size());
}

TEST_F(QORRegistryKeyTest, FifosInTheStoreNeverBlockACall) {
  QORRegistryKey sub;
  ASSERT_EQ(ERROR_SUCCESS, key_.SetDword(L"Good", 1));
  ASSERT_EQ(ERROR_SUCCESS, key_.SetDword(L"Piped", 1));
  ASSERT_EQ(ERROR_SUCCESS, key_.CreateSubKey(L"Keyed", KEY_ALL_ACCESS, sub));
  ASSERT_EQ(ERROR_SUCCESS, key_.CreateSubKey(L"Plumbed", KEY_ALL_ACCESS, sub));
  for (const fs::path& file : {ValueFile(L"Piped"), KeyDir(L"Plumbed") / "n"}) {
    ASSERT_TRUE(fs::remove(file));
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
    ASSERT_TRUE(child.Start("registry", {call}));
    std::string line;
    EXPECT_TRUE(child.ReadLine(line, 5000)) << call << " did not return within 5 s";
    EXPECT_EQ(expected, line);
  }
}

TEST_F(QORRegistryKeyTest, DeepTreeIsDeletedCompletelyUnderADescriptorLimit) {
  std::wstring path = L"Deep";
  for (int level = 1; level < 2000; ++level) path += L"\\d";
  QORRegistryKey leaf;
  ASSERT_EQ(ERROR_SUCCESS, key_.CreateSubKey(path, KEY_ALL_ACCESS, leaf));
  ASSERT_EQ(ERROR_SUCCESS, leaf.SetDword(L"AtTheBottom", 1));
  leaf.Close();
  qortest::ChildProcess child;
  ASSERT_TRUE(child.Start("registry", {"delete-deep"}));
  std::string line;
  ASSERT_TRUE(child.ReadLine(line, 60000));
  EXPECT_EQ(0, child.Wait());
  EXPECT_EQ("delete-deep " + std::to_string(ERROR_SUCCESS), line);
  // Success means nothing is left: no key, and no renamed-away remains beside the spelling file.
  EXPECT_EQ(ERROR_FILE_NOT_FOUND, key_.OpenSubKey(L"Deep", KEY_READ, leaf));
  EXPECT_EQ(std::vector<std::string>{"n"}, Files(false));
}

TEST_F(QORRegistryKeyTest, QueryInfoCountsWhatTheEnumerationsList) {
  QORRegistryKey sub;
  ASSERT_EQ(ERROR_SUCCESS, key_.SetDword(L"One", 1));
  ASSERT_EQ(ERROR_SUCCESS, key_.SetString(L"Two", L"2"));
  ASSERT_EQ(ERROR_SUCCESS, key_.CreateSubKey(L"Sub", KEY_ALL_ACCESS, sub));
  const fs::path dir = KeyDir();
  // Foreign entries: a file where a key is expected, a key folder without its spelling, a value
  // file under another value's name, garbage, a FIFO, a folder where a value is expected.
  std::ofstream(dir / "kfile") << "x";
  fs::create_directory(dir / "kbare");
  fs::copy_file(ValueFile(L"One"), dir / "vother");
  std::ofstream(dir / "vjunk") << "QRV1";
  ASSERT_EQ(0, ::mkfifo((dir / "vpipe").c_str(), 0660));
  fs::create_directory(dir / "vfolder");
  uint32_t subKeys = 0;
  uint32_t values = 0;
  ASSERT_EQ(ERROR_SUCCESS, key_.QueryInfo(&subKeys, &values));
  EXPECT_EQ(List(key_, false).size(), subKeys);
  EXPECT_EQ(List(key_, true).size(), values);
  EXPECT_EQ(1u, subKeys);
  EXPECT_EQ(2u, values);
}

TEST_F(QORRegistryKeyTest, TemporariesOfKilledWritersAreCleanedByTheNextWrite) {
  bool leftOver = false;
  for (int attempt = 0; attempt < 20 && !leftOver; ++attempt) {
    qortest::ChildProcess child;
    ASSERT_TRUE(child.Start("registry", {"write-big"}));
    ASSERT_TRUE(child.WaitFor("ready"));
    // Kill the writer as soon as its temporary file shows.
    const auto deadline = Clock::now() + std::chrono::seconds(10);
    while (Files(true).empty() && Clock::now() < deadline) std::this_thread::yield();
    child.Kill(SIGKILL);
    child.Wait();
    leftOver = !Files(true).empty();
  }
  ASSERT_TRUE(leftOver) << "no write was caught in the middle";
  ASSERT_EQ(ERROR_SUCCESS, key_.SetDword(L"Next", 1));
  EXPECT_EQ(std::vector<std::string>{}, Files(true));
}

// A live writer's temporaries survive our writes, and a reader never sees half of its value.
TEST_F(QORRegistryKeyTest, LiveWritersAreLeftAloneAndNeverReadHalfWritten) {
  qortest::ChildProcess child;
  ASSERT_TRUE(child.Start("registry", {"rewrite"}));
  ASSERT_TRUE(child.WaitFor("ready"));
  const std::vector<uint8_t> mine(64, 2);
  uint32_t writes = 0;
  int seen[4] = {0, 0, 0, 0};  // the three forms, then torn ones
  std::string line;
  bool done = false;
  const auto deadline = Clock::now() + std::chrono::seconds(10);
  while (!done && Clock::now() < deadline) {
    ASSERT_EQ(ERROR_SUCCESS, key_.SetBinary(L"Mine", mine));
    ++writes;
    uint32_t type = 0;
    std::vector<uint8_t> data;
    const uint32_t result = key_.QueryValue(L"blob", &type, &data);
    if (result == ERROR_SUCCESS) {
      const bool binary = type == REG_BINARY;
      ++seen[binary && data == kLong           ? 0
             : binary && data == kShort        ? 1
             : type == REG_SZ && data == kText ? 2
                                               : 3];
    } else {
      ASSERT_EQ(ERROR_FILE_NOT_FOUND, result);  // before the first write only
    }
    done = child.ReadLine(line, 5);
  }
  EXPECT_TRUE(done);
  EXPECT_EQ("rewrite done", line);
  EXPECT_EQ(0, child.Wait());
  EXPECT_GT(writes, 10u);
  EXPECT_EQ(0, seen[3]);
  // The reads overlapped the writes.
  EXPECT_GT(seen[0], 0);
  EXPECT_GT(seen[1], 0);
  EXPECT_GT(seen[2], 0);
}

}  // namespace
