#include "platform/QORRegistryKey.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "ChildProcess.h"
#include "TempStateRoot.h"
#include "common/QORTextConvert.h"
#include "platform/IQOREvent.h"
#include "platform/IQORNamedMutex.h"
#include "platform/IQORPipeServer.h"
#include "platform/IQORSharedMemory.h"
#include "platform/QORFileReader.h"
#include "platform/QORKnownFolders.h"
#include "platform/posix/QORRegistryName.h"
#include "platform/posix/QORStateTree.h"

namespace {

using Clock = std::chrono::steady_clock;
using Names = std::vector<std::wstring>;
namespace fs = std::filesystem;
using Result = QORFileReader::Result;

constexpr wchar_t kBase[] = L"Software\\QOR Labs\\APO";
constexpr auto kInvalid = static_cast<uint32_t>(ERROR_INVALID_PARAMETER);

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
  // "services": under the umask args[1] (octal), in the order of args[2]: r registry, f known
  // folders, n named objects with a pipe; held until the parent's next line.
  if (job == "services") {
    ::umask(static_cast<mode_t>(std::strtol(args.at(1).c_str(), nullptr, 8)));
    std::unique_ptr<IQORNamedMutex> mutex;
    std::unique_ptr<IQOREvent> event;
    std::unique_ptr<IQORSharedMemory> memory;
    std::unique_ptr<IQORPipeServer> pipe;
    for (char service : args.at(2)) {
      QORRegistryKey sub;
      std::wstring path;
      if (service == 'r' && (QORRegistryKey::Create(QORRegistryHive::kLocalMachine, kBase,
                                                    KEY_ALL_ACCESS, key) != ERROR_SUCCESS ||
                             key.SetDword(L"Value", 1) != ERROR_SUCCESS ||
                             key.SetString(L"Text", L"abc") != ERROR_SUCCESS ||
                             key.CreateSubKey(L"Sub", KEY_ALL_ACCESS, sub) != ERROR_SUCCESS ||
                             QORRegistryKey::Create(QORRegistryHive::kClassesRoot, L"CLSID",
                                                    KEY_ALL_ACCESS, sub) != ERROR_SUCCESS)) {
        return 1;
      }
      if (service == 'f' && (FAILED(QORKnownFolders::GetPath(FOLDERID_ProgramData, &path)) ||
                             FAILED(QORKnownFolders::GetPath(FOLDERID_ProgramFiles, &path)))) {
        return 2;
      }
      if (service == 'n') {
        mutex = QORCreateNamedMutex(L"Global\\PermissionMutex", false);
        event = QORCreateNamedEvent(L"Global\\PermissionEvent", true, false);
        memory = QORCreateSharedMemory(L"Global\\PermissionMemory", 4096);
        pipe = QORCreatePipeServer(L"\\\\.\\pipe\\Permission", 1928);
        if (!mutex || !event || !memory || !pipe) return 3;
      }
    }
    qortest::ChildSay("ready");
    std::string line;
    qortest::ChildHear(line);
    return 0;
  }
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
  } else if (job == "rewrite") {  // a value of its own, for a second
    qortest::ChildSay("ready");
    const auto end = Clock::now() + std::chrono::milliseconds(1000);
    while (Clock::now() < end) {
      if (key.SetBinary(L"Theirs", std::vector<uint8_t>(64, 1)) != ERROR_SUCCESS) return 2;
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

TEST_F(QORRegistryKeyTest, HostileNamesStayInsideTheirKey) {
  QORRegistryKey sub;
  // Hostile names are plain names: "." and ".." too, and "/" is an ordinary character.
  for (const wchar_t* name :
       {L"..", L"../../../escape", L"/etc/x", L"a\\..\\..\\b", L".tmpvalue"}) {
    ASSERT_EQ(ERROR_SUCCESS, key_.SetString(name, name)) << QORWideToUtf8(name);
  }
  EXPECT_EQ(5u, List(key_, true).size());
  for (const wchar_t* name : {L"..", L".", L"a/../../b"}) {
    ASSERT_EQ(ERROR_SUCCESS, key_.CreateSubKey(name, KEY_ALL_ACCESS, sub));
    ASSERT_EQ(ERROR_SUCCESS, sub.SetDword(L"marker", 7));
  }
  EXPECT_EQ(3u, List(key_, false).size());
  EXPECT_EQ(ERROR_FILE_NOT_FOUND, key_.OpenSubKey(L"..\\x", KEY_READ, sub));
  const fs::path hive = fs::path(root_.Path()) / "registry" / "HKLM";
  for (const auto& entry : fs::recursive_directory_iterator(root_.Path())) {
    if (entry.path() == hive.parent_path()) continue;
    EXPECT_EQ(0u, entry.path().string().rfind(hive.string(), 0)) << entry.path();
  }
}

TEST_F(QORRegistryKeyTest, MalformedNamesAndValuesAreRefused) {
  // Names UTF-16 cannot hold: refused, not stored under the replacement character's file.
  QORRegistryKey sub;
  EXPECT_EQ(kInvalid, key_.SetDword(std::wstring(L"a\0b", 3), 1));
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

TEST_F(QORRegistryKeyTest, TemporariesOfLiveWritersAreLeftAlone) {
  qortest::ChildProcess child;
  ASSERT_TRUE(child.Start("registry", {"rewrite"}));
  ASSERT_TRUE(child.WaitFor("ready"));
  uint32_t writes = 0;
  std::string line;
  bool done = false;
  const auto deadline = Clock::now() + std::chrono::seconds(10);
  while (!done && Clock::now() < deadline) {
    ASSERT_EQ(ERROR_SUCCESS, key_.SetBinary(L"Mine", std::vector<uint8_t>(64, 2)));
    ++writes;
    done = child.ReadLine(line, 5);
  }
  EXPECT_TRUE(done);
  EXPECT_EQ("rewrite done", line);
  EXPECT_EQ(0, child.Wait());
  EXPECT_GT(writes, 10u);
}

// Every entry at and below path whose mode differs from the house modes, as "path mode".
std::vector<std::string> WrongModes(const fs::path& path) {
  std::vector<std::string> wrong;
  struct stat st {};
  if (::lstat(path.c_str(), &st) != 0) return {path.string() + " missing"};
  const mode_t expected = S_ISDIR(st.st_mode) ? 0770 : 0660;
  if (S_ISLNK(st.st_mode) || (st.st_mode & 07777) != expected) {
    char mode[8];
    std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(st.st_mode & 07777));
    wrong.push_back(path.string() + " " + mode);
  }
  if (S_ISDIR(st.st_mode)) {
    for (const fs::directory_entry& entry : fs::directory_iterator(path)) {
      for (std::string& item : WrongModes(entry.path())) wrong.push_back(std::move(item));
    }
  }
  return wrong;
}

TEST(QORStateTree, EveryEntryIsGroupSharedWhateverTheUmaskAndWhicheverServiceIsFirst) {
  for (const char* umask : {"000", "022", "077"}) {
    for (const char* order : {"rfn", "fnr", "nrf"}) {
      SCOPED_TRACE(std::string("umask ") + umask + ", order " + order);
      // A root that does not exist yet, two levels below a private folder.
      qortest::TempStateRoot base;
      const fs::path root = fs::path(base.Path()) / "parent" / "state";
      ::setenv("QOR_ROOT", root.c_str(), 1);
      qortest::ChildProcess child;
      ASSERT_TRUE(child.Start("registry", {"services", umask, order}));
      ASSERT_TRUE(child.WaitFor("ready")) << "exit " << child.Wait();
      for (const char* entry :
           {"registry/HKLM", "registry/HKCR", "ProgramData", "Program Files", "NamedObjects"}) {
        EXPECT_TRUE(fs::is_directory(root / entry)) << entry;
      }
      EXPECT_EQ(std::vector<std::string>{}, WrongModes(root));
      child.SendLine("end");
      EXPECT_EQ(0, child.Wait());
    }
  }
}

TEST(QORStateTree, LinksInsideTheRootAreNeverFollowed) {
  qortest::TempStateRoot state;
  const fs::path root(state.Path());
  const fs::path victim = root / "victim";
  fs::create_directory(victim);
  QORRegistryKey key;
  // In place of the registry folder, then of a hive.
  fs::create_directory_symlink(victim, root / "registry");
  EXPECT_NE(ERROR_SUCCESS,
            QORRegistryKey::Create(QORRegistryHive::kLocalMachine, kBase, KEY_ALL_ACCESS, key));
  EXPECT_NE(ERROR_SUCCESS,
            QORRegistryKey::Open(QORRegistryHive::kLocalMachine, L"", KEY_READ, key));
  fs::remove(root / "registry");
  fs::create_directory(root / "registry");
  fs::create_directory_symlink(victim, root / "registry" / "HKCR");
  EXPECT_NE(ERROR_SUCCESS,
            QORRegistryKey::Create(QORRegistryHive::kClassesRoot, L"CLSID", KEY_ALL_ACCESS, key));
  // Known folders and the named objects' folder.
  for (const GUID* folder : {&FOLDERID_ProgramData, &FOLDERID_ProgramFiles}) {
    const fs::path link =
        root / (folder == &FOLDERID_ProgramData ? "ProgramData" : "Program Files");
    fs::create_directory_symlink(victim, link);
    std::wstring path;
    EXPECT_TRUE(FAILED(QORKnownFolders::GetPath(*folder, &path))) << link;
  }
  fs::create_directory_symlink(victim, root / "NamedObjects");
  EXPECT_EQ(nullptr, QORCreateNamedMutex(L"Global\\Linked", false));
  EXPECT_EQ(nullptr, QORCreateSharedMemory(L"Global\\Linked", 64));
  // The walk itself, at every component; "..", "." and empty components are refused.
  fs::create_directory(root / "real");
  fs::create_directory_symlink(victim, root / "real" / "link");
  for (const char* bad :
       {"ProgramData/inner", "real/link/inner", "real/../victim", "real//x", "./real"}) {
    const int fd = QORStateTree::OpenDirectory(bad, true);
    EXPECT_EQ(-1, fd) << bad;
    if (fd >= 0) ::close(fd);
  }
  EXPECT_TRUE(fs::is_empty(victim));
  // A link in place of a value file: read as damaged, replaced by a write, never written through.
  const fs::path target = victim / "file";
  std::ofstream(target) << "keep";
  fs::remove(root / "registry" / "HKCR");
  ASSERT_EQ(ERROR_SUCCESS,
            QORRegistryKey::Create(QORRegistryHive::kClassesRoot, L"CLSID", KEY_ALL_ACCESS, key));
  ASSERT_EQ(ERROR_SUCCESS, key.SetDword(L"Linked", 1));
  const fs::path valueFile = root / "registry" / "HKCR" /
                             QORRegistryName::FileName(QORRegistryName::kKeyPrefix, L"CLSID") /
                             QORRegistryName::FileName(QORRegistryName::kValuePrefix, L"Linked");
  fs::remove(valueFile);
  fs::create_symlink(target, valueFile);
  uint32_t value = 0;
  EXPECT_EQ(ERROR_BADDB, key.GetDword(L"Linked", &value));
  EXPECT_EQ(ERROR_SUCCESS, key.SetDword(L"Linked", 2));
  EXPECT_EQ(ERROR_SUCCESS, key.GetDword(L"Linked", &value));
  EXPECT_EQ(2u, value);
  EXPECT_EQ(4u, fs::file_size(target));
}

TEST(QORStateTree, TheFileReaderReadsWholeRegularFilesUpToTheLimitAndNeverBlocks) {
  qortest::TempStateRoot root;
  const fs::path files(root.Path());
  ASSERT_EQ(0, ::mkfifo((files / "fifo").c_str(), 0660));
  fs::create_symlink(files / "six", files / "link");
  fs::create_directory(files / "dir");
  std::string text = "old";
  std::ofstream(files / "six", std::ios::binary) << std::string("a\0b\r\n\xFF", 6);
  EXPECT_EQ(QORFileReader::ReadRegularFile(files / "six", 6, text), Result::kOk);
  EXPECT_EQ(text, std::string("a\0b\r\n\xFF", 6));
  EXPECT_EQ(QORFileReader::ReadRegularFile(files / "six", 5, text), Result::kTooLarge);
  EXPECT_TRUE(text.empty());
  const std::pair<fs::path, Result> cases[] = {
      {files / "missing", Result::kMissing}, {files / "six" / "below", Result::kMissing},
      {files / "link", Result::kNotRegular}, {files / "dir", Result::kNotRegular},
      {"/dev/null", Result::kNotRegular},
  };
  for (const auto& [path, result] : cases) {
    text = "old";
    EXPECT_EQ(QORFileReader::ReadRegularFile(path, 1 << 20, text), result) << path;
    EXPECT_TRUE(text.empty()) << path;
  }
  // The path is opened once and then only the descriptor is asked: a path that flips between a
  // regular file and a FIFO never holds a read in an open that waits for a writer.
  const fs::path path = files / "six";
  const fs::path fifo = files / "fifo";
  std::atomic<bool> stop{false};
  std::thread flipper([&] {
    while (!stop.load())
      ::renameat2(AT_FDCWD, path.c_str(), AT_FDCWD, fifo.c_str(), RENAME_EXCHANGE);
  });
  std::atomic<int> done{0};
  int unexpected = 0;
  auto reads = std::async(std::launch::async, [&] {
    std::string text;
    for (; done < 30000; ++done) {
      const Result result = QORFileReader::ReadRegularFile(path, 100, text);
      if (result != Result::kOk && result != Result::kNotRegular) ++unexpected;
    }
  });
  bool finished = false;  // or blocked: ten seconds without a finished read
  for (int last = -1, idle = 0; !finished && idle < 10; last = done) {
    finished = reads.wait_for(std::chrono::seconds(1)) == std::future_status::ready;
    idle = done == last ? idle + 1 : 0;
  }
  stop = true;
  flipper.join();
  if (!finished) {  // a blocked open waits for a writer: give it one to end the test
    for (const fs::path& end : {path, fifo}) {
      const int writer = ::open(end.c_str(), O_WRONLY | O_NONBLOCK);
      if (writer >= 0) ::close(writer);
    }
  }
  reads.get();
  EXPECT_TRUE(finished) << "blocked after " << done << " reads";
  EXPECT_EQ(unexpected, 0);
}

}  // namespace
