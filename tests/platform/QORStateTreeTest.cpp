#include "platform/posix/QORStateTree.h"

#include <gtest/gtest.h>

#include <fcntl.h>
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
#include "platform/IQOREvent.h"
#include "platform/IQORNamedMutex.h"
#include "platform/IQORPipeServer.h"
#include "platform/IQORSharedMemory.h"
#include "platform/QORFileReader.h"
#include "platform/QORKnownFolders.h"
#include "platform/QORRegistryKey.h"
#include "platform/posix/QORNamedObject.h"
#include "platform/posix/QORRegistryName.h"

namespace {

namespace fs = std::filesystem;
using Result = QORFileReader::Result;

constexpr wchar_t kKey[] = L"Software\\QOR Labs\\APO";

// Under the umask args[0] (octal), uses the services in the order of args[1]: r registry,
// f known folders, n named objects (with a pipe). Holds the named objects until the parent's next
// line.
int ServicesChild(const std::vector<std::string>& args) {
  ::umask(static_cast<mode_t>(std::strtol(args.at(0).c_str(), nullptr, 8)));
  std::unique_ptr<IQORNamedMutex> mutex;
  std::unique_ptr<IQOREvent> event;
  std::unique_ptr<IQORSharedMemory> memory;
  std::unique_ptr<IQORPipeServer> pipe;
  for (char service : args.at(1)) {
    QORRegistryKey key;
    QORRegistryKey sub;
    std::wstring path;
    if (service == 'r' && (QORRegistryKey::Create(QORRegistryHive::kLocalMachine, kKey,
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
qortest::ChildRegistration servicesChild("state-services", &ServicesChild);

std::string Octal(mode_t mode) {
  char text[8];
  std::snprintf(text, sizeof text, "%04o", static_cast<unsigned>(mode & 07777));
  return text;
}

// Every entry at and below path whose mode differs from the house modes, as "path mode".
std::vector<std::string> WrongModes(const fs::path& path) {
  std::vector<std::string> wrong;
  struct stat st {};
  if (::lstat(path.c_str(), &st) != 0) return {path.string() + " missing"};
  const mode_t expected = S_ISDIR(st.st_mode) ? 0770 : 0660;
  if (S_ISLNK(st.st_mode) || (st.st_mode & 07777) != expected) {
    wrong.push_back(path.string() + " " + Octal(st.st_mode));
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
      ASSERT_TRUE(child.Start("state-services", {umask, order}));
      ASSERT_TRUE(child.WaitFor("ready")) << "exit " << child.Wait();
      for (const char* entry :
           {"registry/HKLM", "registry/HKCR", "ProgramData", "Program Files", "NamedObjects"}) {
        EXPECT_TRUE(fs::is_directory(root / entry)) << entry;
      }
      EXPECT_EQ(std::vector<std::string>{}, WrongModes(root));
      // The parent made for the root is the umask's business, but never writable by others.
      struct stat parent {};
      ASSERT_EQ(0, ::stat(root.parent_path().c_str(), &parent));
      EXPECT_EQ(0u, parent.st_mode & 022) << Octal(parent.st_mode);
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
            QORRegistryKey::Create(QORRegistryHive::kLocalMachine, kKey, KEY_ALL_ACCESS, key));
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
    wchar_t* text = nullptr;
    EXPECT_TRUE(FAILED(QORKnownFolders::GetPath(*folder, &text)));
    EXPECT_EQ(nullptr, text);
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

  // A link in place of a value file or a named object's file: never written through.
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
  fs::remove(root / "NamedObjects");
  QORNamedObject objects[2];
  ASSERT_EQ(objects[0].Open("test", L"Real", QORNamedObject::Mode::kCreate, 64, nullptr, nullptr),
            QORNamedObjectError::kNone);
  fs::create_symlink(target, root / "NamedObjects" / QORNamedObject::FileNameFor("test", L"Link"));
  EXPECT_EQ(objects[1].Open("test", L"Link", QORNamedObject::Mode::kCreate, 64, nullptr, nullptr),
            QORNamedObjectError::kFailed);
  EXPECT_EQ(4u, fs::file_size(target));
}

TEST(QORStateTree, TheFileReaderReadsWholeRegularFilesUpToTheLimitAndNothingElse) {
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
  std::ofstream(files / "empty") << "";
  EXPECT_EQ(QORFileReader::ReadRegularFile(files / "empty", 0, text), Result::kOk);
  const std::string large(100000, 'x');  // past one read, where the size is only a guess
  std::ofstream(files / "large") << large;
  EXPECT_EQ(QORFileReader::ReadRegularFile(files / "large", large.size(), text), Result::kOk);
  EXPECT_EQ(text, large);
  const std::pair<fs::path, Result> cases[] = {
      {files / "missing", Result::kMissing}, {files / "six" / "below", Result::kMissing},
      {files / "link", Result::kNotRegular}, {files / "dir", Result::kNotRegular},
      {"/dev/null", Result::kNotRegular},    {files / "fifo", Result::kNotRegular},
  };
  auto refusals = std::async(std::launch::async, [&] {
    for (const auto& [path, result] : cases) {
      text = "old";
      EXPECT_EQ(QORFileReader::ReadRegularFile(path, 1 << 20, text), result) << path;
      EXPECT_TRUE(text.empty()) << path;
    }
  });
  if (refusals.wait_for(std::chrono::seconds(10)) != std::future_status::ready) {
    ADD_FAILURE() << "blocked";  // a writer releases a reader that blocked in the FIFO's open
    const int writer = ::open((files / "fifo").c_str(), O_WRONLY | O_NONBLOCK);
    if (writer >= 0) ::close(writer);
  }
}

// The path is opened once and then only the descriptor is asked: a path that flips between a
// regular file and a FIFO never holds a read in an open that waits for a writer.
TEST(QORStateTree, APathSwappedWithAFifoNeverBlocksTheFileReader) {
  qortest::TempStateRoot root;
  const fs::path path = fs::path(root.Path()) / "flip.xml";
  const fs::path fifo = fs::path(root.Path()) / "other.xml";
  std::ofstream(path) << "content";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
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
  // Blocked: no read finished for ten seconds.
  bool finished = false;
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
