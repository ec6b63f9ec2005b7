#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "TempStateRoot.h"
#include "platform/posix/QORNamedObject.h"

namespace {

namespace fs = std::filesystem;
using Mode = QORNamedObject::Mode;

TEST(QORNamedObject, SeparateRootsPrivateModesZeroFillAndNoLinks) {
  qortest::TempStateRoot root;
  QORNamedObject object;
  ASSERT_EQ(object.Open("test", L"Global\\Block", Mode::kCreate, 100, nullptr, nullptr),
            QORNamedObjectError::kNone);
  {
    qortest::TempStateRoot other;
    QORNamedObject elsewhere;
    EXPECT_EQ(elsewhere.Open("test", L"Block", Mode::kOpen, 0, nullptr, nullptr),
              QORNamedObjectError::kNotFound);
  }
  struct stat fileStat {};
  ASSERT_EQ(::fstat(object.Fd(), &fileStat), 0);
  EXPECT_EQ(fileStat.st_mode & 07777, 0660u);
  const fs::path dir = fs::path(root.Path()) / "NamedObjects";
  struct stat dirStat {};
  ASSERT_EQ(::stat(dir.c_str(), &dirStat), 0);
  EXPECT_EQ(dirStat.st_mode & 07777, 0770u);
  char data[100];
  ASSERT_EQ(::pread(object.Fd(), data, sizeof(data), QORNamedObject::kDataOffset), 100);
  for (char c : data) ASSERT_EQ(c, 0);

  const fs::path target = fs::path(root.Path()) / "victim";
  std::ofstream(target) << "keep";
  fs::create_symlink(target, dir / QORNamedObject::FileNameFor("test", L"Link"));
  QORNamedObject linked;
  EXPECT_EQ(linked.Open("test", L"Link", Mode::kCreate, 64, nullptr, nullptr),
            QORNamedObjectError::kFailed);
  EXPECT_EQ(fs::file_size(target), 4u);
}

}  // namespace
