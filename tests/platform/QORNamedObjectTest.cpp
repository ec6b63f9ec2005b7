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

TEST(QORNamedObjectName, PrefixesAndEncoding) {
  const struct {
    const char* kind;
    std::wstring name;
    std::string file;
  } cases[] = {
      {"event", L"Global\\DSPKELControlChangeEvent", "event.DSPKELControlChangeEvent"},
      {"mutex", L"Local\\Cap", "mutex.Cap"},
      {"mutex", L"a\\b/../c.d %", "mutex.a%5Cb%2F%2E%2E%2Fc%2Ed%20%25"},
      {"mutex", L"Global\\Local\\x", "mutex.Local%5Cx"},  // only one prefix is dropped
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.file);
    EXPECT_EQ(QORNamedObject::FileNameFor(c.kind, c.name), c.file);
  }
  // Long names stay short and distinct, with room for the companion suffix.
  const std::wstring base(300, L'\\');
  const std::string first = QORNamedObject::FileNameFor("shm", base + L"1");
  EXPECT_NE(first, QORNamedObject::FileNameFor("shm", base + L"2"));
  EXPECT_LE(first.size() + 4, 255u);
  EXPECT_EQ(first.find('/'), std::string::npos);
}

TEST(QORNamedObject, ExistsWhileAHandleIsOpenInItsRootOnly) {
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
  {
    qortest::TempStateRoot other;
    QORNamedObject elsewhere;
    EXPECT_EQ(elsewhere.Open("test", L"Obj", Mode::kOpen, 0, nullptr, nullptr),
              QORNamedObjectError::kNotFound);
    ASSERT_EQ(elsewhere.Open("test", L"Obj", Mode::kCreate, 0, nullptr, &existed),
              QORNamedObjectError::kNone);
    EXPECT_FALSE(existed);
  }
  first.Close();
  // Still held by the second handle.
  EXPECT_EQ(first.Open("test", L"Obj", Mode::kOpen, 0, nullptr, nullptr),
            QORNamedObjectError::kNone);
  first.Close();
  second.Close();
  EXPECT_FALSE(fs::exists(ObjectPath(root, "test", L"Obj")));
  EXPECT_EQ(first.Open("test", L"Obj", Mode::kOpen, 0, nullptr, nullptr),
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

TEST(QORNamedObject, LeftoverFilesAreReplacedAndLinksNotFollowed) {
  qortest::TempStateRoot root;
  QORNamedObject object;  // creates the directory
  ASSERT_EQ(object.Open("test", L"Other", Mode::kCreate, 0, nullptr, nullptr),
            QORNamedObjectError::kNone);
  object.Close();
  // A file without holders was left by a dead process.
  const fs::path stale = ObjectPath(root, "test", L"Stale");
  std::ofstream(stale) << "left behind by a dead process";
  EXPECT_EQ(object.Open("test", L"Stale", Mode::kOpen, 0, nullptr, nullptr),
            QORNamedObjectError::kNotFound);
  EXPECT_FALSE(fs::exists(stale));
  std::ofstream(stale) << "again";
  bool existed = true;
  ASSERT_EQ(object.Open("test", L"Stale", Mode::kCreate, 8, nullptr, &existed),
            QORNamedObjectError::kNone);
  EXPECT_FALSE(existed);
  char data[8] = {1};
  ASSERT_EQ(::pread(object.Fd(), data, sizeof(data), QORNamedObject::kDataOffset), 8);
  EXPECT_EQ(std::string(data, 8), std::string(8, '\0'));
  object.Close();

  const fs::path target = fs::path(root.Path()) / "victim";
  std::ofstream(target) << "keep";
  fs::create_symlink(target, ObjectPath(root, "test", L"Link"));
  EXPECT_EQ(object.Open("test", L"Link", Mode::kCreate, 64, nullptr, nullptr),
            QORNamedObjectError::kFailed);
  EXPECT_EQ(fs::file_size(target), 4u);
}

}  // namespace
