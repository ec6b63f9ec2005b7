// The POSIX store's files and folders: what lies in them, their modes, links and FIFOs planted
// among them, writers killed halfway. The portable behaviour is in QORRegistryKeyTest.cpp.
#ifndef _WIN32

#include "platform/QORRegistryKey.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "ChildProcess.h"
#include "RegistryTestKey.h"
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
using qortest::List;
using qortest::Names;
namespace fs = std::filesystem;
using Result = QORFileReader::Result;

using qortest::kBase;

// One registry job on kBase, chosen by args[0]; answers "<job> <result>", or blocks silently.
int RegistryChild(const std::vector<std::string>& args) {
  const std::string& job = args.at(0);
  QORRegistryKey key;
  uint32_t value = 0;
  std::string told;
  // "services": under the umask args[1] (octal), in the order of args[2]: r registry, f known
  // folders, n named objects with a pipe; held until the parent's next line.
  if (job == "services") {
    ::umask(static_cast<mode_t>(std::strtol(args.at(1).c_str(), nullptr, 8)));
    std::vector<std::shared_ptr<void>> held;
    std::wstring path;
    for (char service : args.at(2)) {
      QORRegistryKey sub;
      if (service == 'r' && (QORRegistryKey::Create(QORRegistryHive::kLocalMachine, kBase,
                                                    KEY_ALL_ACCESS, key) != ERROR_SUCCESS ||
                             key.SetDword(L"Value", 1) != ERROR_SUCCESS ||
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
        held = {QORCreateNamedMutex(L"Global\\PermissionMutex", false),
                QORCreateNamedEvent(L"Global\\PermissionEvent", true, false),
                QORCreateSharedMemory(L"Global\\PermissionMemory", 4096),
                QORCreatePipeServer(L"\\\\.\\pipe\\Permission", 1928)};
        if (std::count(held.begin(), held.end(), nullptr) != 0) return 3;
      }
    }
    qortest::ChildSay("ready");
    qortest::ChildHear(told);
    return 0;
  }
  if (job == "flip") {  // reads args[1] 30,000 times while it trades places with args[2]
    std::atomic<bool> stop{false};
    std::thread flipper([&] {
      while (!stop.load()) {
        ::renameat2(AT_FDCWD, args[1].c_str(), AT_FDCWD, args[2].c_str(), RENAME_EXCHANGE);
      }
    });
    int unexpected = 0;
    for (int i = 0; i < 30000; ++i) {
      const Result result = QORFileReader::ReadRegularFile(args[1], 100, told);
      unexpected += result != Result::kOk && result != Result::kNotRegular;
    }
    stop = true;
    flipper.join();
    told = std::to_string(unexpected);
  } else if (job == "delete-deep") {  // with only a few descriptors to spare
    const rlimit limit{16, 16};
    if (::setrlimit(RLIMIT_NOFILE, &limit) != 0) return 1;
    told = std::to_string(QORRegistryKey::DeleteTree(QORRegistryHive::kLocalMachine,
                                                     std::wstring(kBase) + L"\\Deep"));
  } else if (QORRegistryKey::Open(QORRegistryHive::kLocalMachine, kBase, KEY_ALL_ACCESS, key) !=
             ERROR_SUCCESS) {
    return 1;
  } else if (job == "calls") {  // each call on a stored FIFO, in turn
    told = std::to_string(key.GetDword(L"Piped", &value)) + " ";
    for (bool values : {true, false}) {
      for (const std::wstring& name : List(key, values)) told += QORWideToUtf8(name) + ";";
    }
    told += " " + std::to_string(key.SetDword(L"Piped", 5));
    told += " " + std::to_string(key.GetDword(L"Piped", &value));
    told += " " + std::to_string(value);
  } else if (job == "write-big") {  // until killed, so that a kill lands mid-write
    const std::vector<uint8_t> blob(8u << 20, 0x5A);
    qortest::ChildSay("ready");
    while (key.SetBinary(L"Big", blob) == ERROR_SUCCESS) {
    }
    return 2;
  }
  qortest::ChildSay(job + " " + told);
  return 0;
}
qortest::ChildRegistration registryChild("registry", &RegistryChild);

// A registry child's answer to a job, with its exit code unless 0; "" when none came in time.
std::string Job(const std::vector<std::string>& args, int timeoutMs = 60000) {
  qortest::ChildProcess child;
  std::string line;
  if (!child.Start("registry", args) || !child.ReadLine(line, timeoutMs)) return "";
  const int code = child.Wait();
  return code == 0 ? line : line + " (exit " + std::to_string(code) + ")";
}

class QORRegistryStoreTest : public ::testing::Test {
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

// Names that mean something to a file system are plain names in the store's folders too.
TEST_F(QORRegistryStoreTest, HostileNamesMakeNoEntryOutsideTheRegistryFolder) {
  QORRegistryKey sub;
  for (const wchar_t* name : {L"..", L".", L"../../../escape", L"/etc/x"}) {
    ASSERT_EQ(ERROR_SUCCESS, key_.SetString(name, name)) << QORWideToUtf8(name);
    ASSERT_EQ(ERROR_SUCCESS, key_.CreateSubKey(name, KEY_ALL_ACCESS, sub));
  }
  for (const auto& entry : fs::recursive_directory_iterator(root_.Path()))
    EXPECT_EQ(entry.path().string().rfind(root_.Path() + "/registry", 0), 0u) << entry.path();
  EXPECT_EQ(std::distance(fs::directory_iterator(root_.Path() + "/registry"), {}), 1);  // HKLM
}

// No call blocks on or writes through a foreign entry; QueryInfo counts what enumerations list.
TEST_F(QORRegistryStoreTest, ForeignEntriesNeverBlockOrRedirectACallAndAreNotCounted) {
  QORRegistryKey sub;
  ASSERT_EQ(ERROR_SUCCESS, key_.SetDword(L"Good", 1));
  ASSERT_EQ(ERROR_SUCCESS, key_.SetDword(L"Piped", 1));
  ASSERT_EQ(ERROR_SUCCESS, key_.CreateSubKey(L"Keyed", KEY_ALL_ACCESS, sub));
  ASSERT_EQ(ERROR_SUCCESS, key_.CreateSubKey(L"Plumbed", KEY_ALL_ACCESS, sub));
  for (const fs::path& file : {ValueFile(L"Piped"), KeyDir(L"Plumbed") / "n"}) {
    ASSERT_TRUE(fs::remove(file));
    ASSERT_EQ(0, ::mkfifo(file.c_str(), 0660));
  }
  // Query: ERROR_BADDB like any damaged value; the lists leave the FIFOs out; a write replaces it.
  EXPECT_EQ("calls 1009 Good;Keyed; 0 0 5", Job({"calls"}, 5000)) << "a call did not return";
  // A link in place of a value file: read as damaged, replaced by a write, never written through.
  const fs::path target = fs::path(root_.Path()) / "target";
  std::ofstream(target) << "keep";
  ASSERT_TRUE(fs::remove(ValueFile(L"Good")));
  fs::create_symlink(target, ValueFile(L"Good"));
  uint32_t value = 0;
  EXPECT_EQ(ERROR_BADDB, key_.GetDword(L"Good", &value));
  EXPECT_EQ(ERROR_SUCCESS, key_.SetDword(L"Good", 2));
  EXPECT_EQ(ERROR_SUCCESS, key_.GetDword(L"Good", &value));
  EXPECT_EQ(2u, value);
  EXPECT_EQ(4u, fs::file_size(target));
  // Key file, unspelt key folder, value under another's name, garbage, FIFO, folder as a value.
  const fs::path dir = KeyDir();
  std::ofstream(dir / "kfile") << "x";
  fs::create_directory(dir / "kbare");
  fs::copy_file(ValueFile(L"Good"), dir / "vother");
  std::ofstream(dir / "vjunk") << "QRV1";
  ASSERT_EQ(0, ::mkfifo((dir / "vpipe").c_str(), 0660));
  fs::create_directory(dir / "vfolder");
  uint32_t subKeys = 0, values = 0;
  ASSERT_EQ(ERROR_SUCCESS, key_.QueryInfo(&subKeys, &values));
  EXPECT_EQ(List(key_, false).size(), subKeys);
  EXPECT_EQ(List(key_, true).size(), values);
  EXPECT_EQ(2u, values);
  // A link in place of a key folder, even to a key of the same tree, is no key to open, alone or
  // on the way to another.
  fs::create_directory_symlink(KeyDir(L"Keyed").filename(), dir / "klinked");
  ASSERT_EQ(ERROR_SUCCESS, key_.CreateSubKey(L"Keyed\\Inner", KEY_ALL_ACCESS, sub));
  EXPECT_NE(ERROR_SUCCESS, key_.OpenSubKey(L"Linked", KEY_READ, sub));
  EXPECT_NE(ERROR_SUCCESS, key_.OpenSubKey(L"Linked\\Inner", KEY_READ, sub));
  EXPECT_EQ(ERROR_SUCCESS, key_.OpenSubKey(L"Keyed\\Inner", KEY_READ, sub));
}

TEST_F(QORRegistryStoreTest, DeepTreeIsDeletedCompletelyUnderADescriptorLimit) {
  std::wstring path = L"Deep";
  for (int level = 1; level < 2000; ++level) path += L"\\d";
  QORRegistryKey leaf;
  ASSERT_EQ(ERROR_SUCCESS, key_.CreateSubKey(path, KEY_ALL_ACCESS, leaf));
  ASSERT_EQ(ERROR_SUCCESS, leaf.SetDword(L"AtTheBottom", 1));
  leaf.Close();
  EXPECT_EQ("delete-deep " + std::to_string(ERROR_SUCCESS), Job({"delete-deep"}));
  // Success means nothing is left: no key, and no renamed-away remains beside the spelling file.
  EXPECT_EQ(ERROR_FILE_NOT_FOUND, key_.OpenSubKey(L"Deep", KEY_READ, leaf));
  EXPECT_EQ(std::vector<std::string>{"n"}, Files(false));
}

TEST_F(QORRegistryStoreTest, TemporariesOfKilledWritersAreCleanedByTheNextWriteAndLiveOnesKept) {
  bool leftOver = false;
  for (int attempt = 0; attempt < 20 && !leftOver; ++attempt) {
    qortest::ChildProcess child;
    ASSERT_TRUE(child.Start("registry", {"write-big"}) && child.WaitFor("ready"));
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
  // A live writer's temporaries survive our writes: its writes go on succeeding.
  qortest::ChildProcess writer;
  ASSERT_TRUE(writer.Start("registry", {"write-big"}) && writer.WaitFor("ready"));
  for (const auto end = Clock::now() + std::chrono::seconds(1); Clock::now() < end;) {
    ASSERT_EQ(ERROR_SUCCESS, key_.SetBinary(L"Mine", std::vector<uint8_t>(64, 2)));
  }
  EXPECT_EQ(0, ::waitpid(writer.Pid(), nullptr, WNOHANG)) << "a write of the writer failed";
}

// Every entry at and below path whose mode differs from the house modes, as "path mode".
std::vector<std::string> WrongModes(const fs::path& path) {
  std::vector<std::string> wrong;
  struct stat st {};
  if (::lstat(path.c_str(), &st) != 0) return {path.string() + " missing"};
  if (S_ISLNK(st.st_mode) || (st.st_mode & 07777) != (S_ISDIR(st.st_mode) ? 0770u : 0660u)) {
    wrong.push_back(path.string() + " " + std::to_string(st.st_mode & 07777));
  }
  if (!S_ISDIR(st.st_mode)) return wrong;
  for (const auto& entry : fs::directory_iterator(path)) {
    for (std::string& item : WrongModes(entry.path())) wrong.push_back(std::move(item));
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

TEST(QORStateTree, LinksInsideTheRootAreNeverFollowedAndReadsNeverBlock) {
  qortest::TempStateRoot state;
  const fs::path root(state.Path());
  const fs::path victim = root / "victim";
  fs::create_directory(victim);
  // In place of the registry folder, the known folders and the named objects' folder.
  for (const char* top : {"registry", "ProgramData", "NamedObjects"})
    fs::create_directory_symlink(victim, root / top);
  QORRegistryKey key;
  EXPECT_NE(ERROR_SUCCESS,
            QORRegistryKey::Create(QORRegistryHive::kLocalMachine, kBase, KEY_ALL_ACCESS, key));
  std::wstring known;
  EXPECT_TRUE(FAILED(QORKnownFolders::GetPath(FOLDERID_ProgramData, &known)));
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

  // The file reader reads whole regular files up to its limit, follows no link, never blocks.
  const fs::path files = root / "real";
  const fs::path path = files / "six";
  const fs::path fifo = files / "fifo";
  ASSERT_EQ(0, ::mkfifo(fifo.c_str(), 0660));
  fs::create_symlink(path, files / "to-six");
  std::string text = "old";
  std::ofstream(path, std::ios::binary) << std::string("a\0b\r\n\xFF", 6);
  ASSERT_EQ(QORFileReader::ReadRegularFile(path, 6, text), Result::kOk);
  EXPECT_EQ(text, std::string("a\0b\r\n\xFF", 6));
  EXPECT_EQ(QORFileReader::ReadRegularFile(path, 5, text), Result::kTooLarge);
  EXPECT_TRUE(text.empty());
  EXPECT_EQ(QORFileReader::ReadRegularFile(files / "to-six", 100, text), Result::kNotRegular);
  // Opened once and asked by descriptor: a path flipping between file and FIFO never blocks.
  EXPECT_EQ(Job({"flip", path.string(), fifo.string()}), "flip 0") << "a read blocked";
}

}  // namespace

#endif  // _WIN32
