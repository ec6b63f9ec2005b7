#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "TempStateRoot.h"
#include "platform/posix/QORNamedObject.h"

namespace {

namespace fs = std::filesystem;
using Mode = QORNamedObject::Mode;

fs::path ObjectPath(const qortest::TempStateRoot& root, const char* kind,
                    const std::wstring& name) {
  return fs::path(root.Path()) / "NamedObjects" / QORNamedObject::FileNameFor(kind, name);
}

TEST(QORNamedObjectName, PrefixesShareOneNamespace) {
  EXPECT_EQ(QORNamedObject::FileNameFor("mutex", L"Global\\Cap"),
            QORNamedObject::FileNameFor("mutex", L"Cap"));
  EXPECT_EQ(QORNamedObject::FileNameFor("mutex", L"Local\\Cap"),
            QORNamedObject::FileNameFor("mutex", L"Cap"));
  EXPECT_NE(QORNamedObject::FileNameFor("mutex", L"Cap"),
            QORNamedObject::FileNameFor("mutex", L"cap"));
  EXPECT_NE(QORNamedObject::FileNameFor("mutex", L"Cap"),
            QORNamedObject::FileNameFor("event", L"Cap"));
}

TEST(QORNamedObjectName, EveryUnsafeByteIsEncoded) {
  EXPECT_EQ(QORNamedObject::FileNameFor("event", L"Global\\DSPKELControlChangeEvent"),
            "event.DSPKELControlChangeEvent");
  EXPECT_EQ(QORNamedObject::FileNameFor("mutex", L"a\\b/../c.d %"),
            "mutex.a%5Cb%2F%2E%2E%2Fc%2Ed%20%25");
  EXPECT_EQ(QORNamedObject::FileNameFor("mutex", L"\u00e9"), "mutex.%C3%A9");
  // Only one prefix is dropped.
  EXPECT_EQ(QORNamedObject::FileNameFor("mutex", L"Global\\Local\\x"), "mutex.Local%5Cx");
}

TEST(QORNamedObjectName, LongNamesStayShortAndDistinct) {
  const std::wstring base(300, L'\\');
  const std::string first = QORNamedObject::FileNameFor("shm", base + L"1");
  const std::string second = QORNamedObject::FileNameFor("shm", base + L"2");
  EXPECT_NE(first, second);
  EXPECT_LE(first.size() + 4, 255u);  // room for the companion suffix
  EXPECT_EQ(first.find('/'), std::string::npos);
}

TEST(QORNamedObject, ExistsWhileAHandleIsOpen) {
  qortest::TempStateRoot root;
  QORNamedObject first;
  bool existed = true;
  ASSERT_EQ(first.Open("test", L"Global\\Obj", Mode::kCreate, 16, nullptr, &existed),
            QORNamedObjectError::kNone);
  EXPECT_FALSE(existed);
  QORNamedObject second;
  ASSERT_EQ(second.Open("test", L"Local\\Obj", Mode::kOpen, 16, nullptr, &existed),
            QORNamedObjectError::kNone);
  EXPECT_TRUE(existed);
  first.Close();
  // Still held by the second handle.
  QORNamedObject third;
  EXPECT_EQ(third.Open("test", L"Obj", Mode::kOpen, 0, nullptr, nullptr),
            QORNamedObjectError::kNone);
  third.Close();
  second.Close();
  EXPECT_FALSE(fs::exists(ObjectPath(root, "test", L"Obj")));
  EXPECT_EQ(third.Open("test", L"Obj", Mode::kOpen, 0, nullptr, nullptr),
            QORNamedObjectError::kNotFound);
}

TEST(QORNamedObject, NewObjectsAreZeroFilledWithPrivateModes) {
  qortest::TempStateRoot root;
  QORNamedObject object;
  ASSERT_EQ(object.Open("test", L"Block", Mode::kCreate, 100, nullptr, nullptr),
            QORNamedObjectError::kNone);
  struct stat fileStat {};
  ASSERT_EQ(::fstat(object.Fd(), &fileStat), 0);
  EXPECT_EQ(fileStat.st_size, static_cast<off_t>(QORNamedObject::kDataOffset + 100));
  EXPECT_EQ(fileStat.st_mode & 07777, 0660u);
  struct stat rootStat {};
  ASSERT_EQ(::stat(root.Path().c_str(), &rootStat), 0);
  EXPECT_EQ(fileStat.st_gid, rootStat.st_gid);
  struct stat dirStat {};
  ASSERT_EQ(::stat((fs::path(root.Path()) / "NamedObjects").c_str(), &dirStat), 0);
  EXPECT_EQ(dirStat.st_mode & 07777, 0770u);
  char data[100];
  ASSERT_EQ(::pread(object.Fd(), data, sizeof(data), QORNamedObject::kDataOffset), 100);
  for (char c : data) ASSERT_EQ(c, 0);
}

TEST(QORNamedObject, DifferentStateRootsNeverMeet) {
  qortest::TempStateRoot first;
  QORNamedObject object;
  ASSERT_EQ(object.Open("test", L"Shared", Mode::kCreate, 0, nullptr, nullptr),
            QORNamedObjectError::kNone);
  {
    qortest::TempStateRoot second;
    QORNamedObject other;
    EXPECT_EQ(other.Open("test", L"Shared", Mode::kOpen, 0, nullptr, nullptr),
              QORNamedObjectError::kNotFound);
    bool existed = true;
    ASSERT_EQ(other.Open("test", L"Shared", Mode::kCreate, 0, nullptr, &existed),
              QORNamedObjectError::kNone);
    EXPECT_FALSE(existed);
  }
}

TEST(QORNamedObject, AFileWithoutHoldersIsStaleAndReplaced) {
  qortest::TempStateRoot root;
  {
    QORNamedObject object;  // creates the directory
    ASSERT_EQ(object.Open("test", L"Other", Mode::kCreate, 0, nullptr, nullptr),
              QORNamedObjectError::kNone);
  }
  const fs::path path = ObjectPath(root, "test", L"Stale");
  std::ofstream(path) << "left behind by a dead process";
  ASSERT_TRUE(fs::exists(path));
  QORNamedObject object;
  EXPECT_EQ(object.Open("test", L"Stale", Mode::kOpen, 0, nullptr, nullptr),
            QORNamedObjectError::kNotFound);
  EXPECT_FALSE(fs::exists(path));
  std::ofstream(path) << "again";
  bool existed = true;
  ASSERT_EQ(object.Open("test", L"Stale", Mode::kCreate, 8, nullptr, &existed),
            QORNamedObjectError::kNone);
  EXPECT_FALSE(existed);
  char data[8] = {1};
  ASSERT_EQ(::pread(object.Fd(), data, sizeof(data), QORNamedObject::kDataOffset), 8);
  EXPECT_EQ(std::string(data, 8), std::string(8, '\0'));
}

TEST(QORNamedObject, LinksAreNotFollowed) {
  qortest::TempStateRoot root;
  {
    QORNamedObject object;
    ASSERT_EQ(object.Open("test", L"Other", Mode::kCreate, 0, nullptr, nullptr),
              QORNamedObjectError::kNone);
  }
  const fs::path target = fs::path(root.Path()) / "victim";
  std::ofstream(target) << "keep";
  fs::create_symlink(target, ObjectPath(root, "test", L"Link"));
  QORNamedObject object;
  EXPECT_EQ(object.Open("test", L"Link", Mode::kCreate, 64, nullptr, nullptr),
            QORNamedObjectError::kFailed);
  EXPECT_EQ(fs::file_size(target), 4u);
}

TEST(QORNamedObject, FailedInitializerLeavesNothingBehind) {
  qortest::TempStateRoot root;
  QORNamedObject object;
  EXPECT_EQ(object.Open(
                "test", L"Broken", Mode::kCreate, 0,
                [](int, int, const std::string&) { return false; }, nullptr),
            QORNamedObjectError::kFailed);
  EXPECT_FALSE(object.IsOpen());
  EXPECT_FALSE(fs::exists(ObjectPath(root, "test", L"Broken")));
  EXPECT_EQ(object.Open("test", L"", Mode::kCreate, 0, nullptr, nullptr),
            QORNamedObjectError::kFailed);
  EXPECT_EQ(object.Open("test", L"Global\\", Mode::kCreate, 0, nullptr, nullptr),
            QORNamedObjectError::kFailed);
}

}  // namespace
