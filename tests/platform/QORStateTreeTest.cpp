#include "platform/posix/QORStateTree.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "ChildProcess.h"
#include "TempStateRoot.h"
#include "platform/IQOREvent.h"
#include "platform/IQORNamedMutex.h"
#include "platform/IQORSharedMemory.h"
#include "platform/QORKnownFolders.h"
#include "platform/QORRegistryKey.h"

namespace {

namespace fs = std::filesystem;

constexpr wchar_t kKey[] = L"Software\\QOR Labs\\APO\\Permissions";

// Under the umask args[0] (octal), uses the services in the order of args[1]: r registry,
// f known folders, n named objects. Holds the named objects until the parent's next line.
int ServicesChild(const std::vector<std::string>& args) {
  ::umask(static_cast<mode_t>(std::strtol(args.at(0).c_str(), nullptr, 8)));
  std::unique_ptr<IQORNamedMutex> mutex;
  std::unique_ptr<IQOREvent> event;
  std::unique_ptr<IQORSharedMemory> memory;
  for (char service : args.at(1)) {
    if (service == 'r') {
      QORRegistryKey key;
      QORRegistryKey sub;
      if (QORRegistryKey::Create(QORRegistryHive::kLocalMachine, kKey, KEY_ALL_ACCESS, key) !=
              ERROR_SUCCESS ||
          key.SetDword(L"Value", 1) != ERROR_SUCCESS ||
          key.SetString(L"Text", L"abc") != ERROR_SUCCESS ||
          key.CreateSubKey(L"Sub", KEY_ALL_ACCESS, sub) != ERROR_SUCCESS ||
          QORRegistryKey::Create(QORRegistryHive::kClassesRoot, L"CLSID", KEY_ALL_ACCESS, sub) !=
              ERROR_SUCCESS) {
        return 1;
      }
    } else if (service == 'f') {
      std::wstring path;
      if (FAILED(QORKnownFolders::GetPath(FOLDERID_ProgramData, &path)) ||
          FAILED(QORKnownFolders::GetPath(FOLDERID_ProgramFiles, &path))) {
        return 2;
      }
    } else if (service == 'n') {
      mutex = QORCreateNamedMutex(L"Global\\PermissionMutex", false);
      event = QORCreateNamedEvent(L"Global\\PermissionEvent", true, false);
      memory = QORCreateSharedMemory(L"Global\\PermissionMemory", 4096);
      if (!mutex || !event || !memory) return 3;
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

// Points QOR_ROOT at a root that does not exist yet, two levels below a private folder.
class FreshRoot {
 public:
  FreshRoot() : root_(fs::path(base_.Path()) / "parent" / "state") {
    ::setenv("QOR_ROOT", root_.c_str(), 1);
  }
  const fs::path& Root() const { return root_; }
  fs::path Base() const { return base_.Path(); }

 private:
  qortest::TempStateRoot base_;
  fs::path root_;
};

TEST(QORStateTree, EveryEntryIsGroupSharedWhateverTheUmaskAndWhicheverServiceIsFirst) {
  for (const char* umask : {"000", "022", "077"}) {
    for (const char* order : {"rfn", "fnr", "nrf"}) {
      SCOPED_TRACE(std::string("umask ") + umask + ", order " + order);
      FreshRoot fresh;
      qortest::ChildProcess child;
      ASSERT_TRUE(child.Start("state-services", {umask, order}));
      ASSERT_TRUE(child.WaitFor("ready")) << "exit " << child.Wait();
      for (const char* entry :
           {"registry/HKLM", "registry/HKCR", "ProgramData", "Program Files", "NamedObjects"}) {
        EXPECT_TRUE(fs::is_directory(fresh.Root() / entry)) << entry;
      }
      EXPECT_EQ(std::vector<std::string>{}, WrongModes(fresh.Root()));
      // The parent made for the root is the umask's business, but never writable by others.
      struct stat parent {};
      ASSERT_EQ(0, ::stat(fresh.Root().parent_path().c_str(), &parent));
      EXPECT_EQ(0u, parent.st_mode & 022) << Octal(parent.st_mode);
      child.SendLine("end");
      EXPECT_EQ(0, child.Wait());
    }
  }
}

TEST(QORStateTree, LinksInsideTheRootAreNeverFollowed) {
  qortest::TempStateRoot root;
  const fs::path victim = fs::path(root.Path()) / "victim";
  fs::create_directory(victim);
  auto victimIsEmpty = [&] { return fs::is_empty(victim); };

  // Known folders.
  for (const GUID* folder : {&FOLDERID_ProgramData, &FOLDERID_ProgramFiles}) {
    const fs::path link =
        fs::path(root.Path()) / (folder == &FOLDERID_ProgramData ? "ProgramData" : "Program Files");
    fs::create_directory_symlink(victim, link);
    std::wstring path;
    EXPECT_TRUE(FAILED(QORKnownFolders::GetPath(*folder, &path))) << link;
    wchar_t* text = nullptr;
    EXPECT_TRUE(FAILED(QORKnownFolders::GetPath(*folder, &text)));
    EXPECT_EQ(nullptr, text);
  }

  // Named objects.
  fs::create_directory_symlink(victim, fs::path(root.Path()) / "NamedObjects");
  EXPECT_EQ(nullptr, QORCreateNamedMutex(L"Global\\Linked", false));
  EXPECT_EQ(nullptr, QORCreateSharedMemory(L"Global\\Linked", 64));
  EXPECT_TRUE(victimIsEmpty());

  // The helper itself, for every component of a path.
  const int direct = QORStateTree::OpenDirectory("ProgramData/inner", true);
  EXPECT_EQ(-1, direct);
  if (direct >= 0) ::close(direct);
  fs::create_directory(fs::path(root.Path()) / "real");
  fs::create_directory_symlink(victim, fs::path(root.Path()) / "real" / "link");
  const int deep = QORStateTree::OpenDirectory("real/link/inner", true);
  EXPECT_EQ(-1, deep);
  if (deep >= 0) ::close(deep);
  for (const char* bad : {"real/../victim", "real//x", "./real", ""}) {
    const int fd = QORStateTree::OpenDirectory(bad, true);
    EXPECT_EQ(bad[0] == '\0' ? 0 : -1, fd < 0 ? -1 : 0) << bad;
    if (fd >= 0) ::close(fd);
  }
  EXPECT_TRUE(victimIsEmpty());
}

TEST(QORStateTree, StoredFilesAreOpenedOnlyWhenRegular) {
  qortest::TempStateRoot root;
  const int dir = QORStateTree::OpenDirectory("files", true);
  ASSERT_GE(dir, 0);
  const fs::path files = fs::path(root.Path()) / "files";
  std::ofstream(files / "plain") << "x";
  ASSERT_EQ(0, ::mkfifo((files / "fifo").c_str(), 0660));
  fs::create_symlink(files / "plain", files / "link");
  fs::create_directory(files / "dir");

  const int plain = QORStateTree::OpenFileAt(dir, "plain", O_RDONLY);
  EXPECT_GE(plain, 0);
  if (plain >= 0) ::close(plain);
  for (const char* name : {"fifo", "dir"}) {
    errno = 0;
    EXPECT_EQ(-1, QORStateTree::OpenFileAt(dir, name, O_RDONLY)) << name;
    EXPECT_EQ(ENXIO, errno) << name;
  }
  EXPECT_EQ(-1, QORStateTree::OpenFileAt(dir, "link", O_RDONLY));
  EXPECT_EQ(ELOOP, errno);

  // A new file never replaces an entry, link or not.
  EXPECT_EQ(-1, QORStateTree::CreateFileAt(dir, "link", O_WRONLY));
  EXPECT_EQ(EEXIST, errno);
  ::close(dir);
}

}  // namespace
