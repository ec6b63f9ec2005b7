#include "platform/QORTemporaryFile.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "ChildProcess.h"
#include "TempStateRoot.h"
#include "platform/QORFileLock.h"

#ifdef _WIN32
#include <io.h>
#else
#include <unistd.h>
#endif

namespace {

namespace fs = std::filesystem;

bool WriteAll(int descriptor, const std::string& text) {
#ifdef _WIN32
  return ::_write(descriptor, text.data(), static_cast<unsigned>(text.size())) ==
         static_cast<int>(text.size());
#else
  return ::write(descriptor, text.data(), text.size()) == static_cast<ssize_t>(text.size());
#endif
}

std::string Slurp(const fs::path& path) {
  std::stringstream text;
  text << std::ifstream(path, std::ios::binary).rdbuf();
  return text.str();
}

int ExitAtOnce(const std::vector<std::string>&) {
  return 0;
}
qortest::ChildRegistration exitAtOnce("exit-at-once", &ExitAtOnce);

class QORTemporaryFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    folder_ = fs::path(root_.Path());
    prefix_ = folder_ / ".out.wav.qorapo-";
  }

  qortest::TempStateRoot root_;
  fs::path folder_;
  fs::path prefix_;
};

TEST_F(QORTemporaryFileTest, ItIsNamedAfterItsProcessAndTakesTheTargetsPlaceOnlyOnCommit) {
  std::ofstream(folder_ / "out.wav") << "before";
  QORTemporaryFile file;
  ASSERT_TRUE(file.Create(prefix_));
  const std::string name = file.Path().filename().string();
  const std::string rest = name.substr(prefix_.filename().string().size());
  ASSERT_EQ(name.rfind(prefix_.filename().string(), 0), 0u) << name;
  const size_t dash = rest.find('-');
  ASSERT_NE(dash, std::string::npos) << name;
  EXPECT_GT(std::stoul(rest.substr(0, dash)), 0u) << name;
  EXPECT_EQ(rest.size(), dash + 7) << name;  // six random characters
  EXPECT_EQ(file.Path().parent_path(), folder_);

  ASSERT_TRUE(WriteAll(file.Descriptor(), "after"));
  EXPECT_EQ(Slurp(folder_ / "out.wav"), "before");
  const fs::path temporary = file.Path();
  ASSERT_TRUE(file.Commit(folder_ / "out.wav"));
  EXPECT_EQ(Slurp(folder_ / "out.wav"), "after");
  EXPECT_FALSE(fs::exists(temporary));
  EXPECT_EQ(file.Descriptor(), -1);
  // Two files made one after the other never share a name.
  QORTemporaryFile first;
  QORTemporaryFile second;
  ASSERT_TRUE(first.Create(prefix_));
  ASSERT_TRUE(second.Create(prefix_));
  EXPECT_NE(first.Path(), second.Path());
}

TEST_F(QORTemporaryFileTest, WhatIsNotCommittedLeavesNothingBehind) {
  fs::path discarded;
  fs::path dropped;
  {
    QORTemporaryFile file;
    ASSERT_TRUE(file.Create(prefix_));
    discarded = file.Path();
    file.Discard();
    EXPECT_FALSE(fs::exists(discarded));
    QORTemporaryFile forgotten;
    ASSERT_TRUE(forgotten.Create(prefix_));
    dropped = forgotten.Path();
  }
  EXPECT_FALSE(fs::exists(dropped));
  // A target whose folder is missing: the commit fails and takes the file away.
  QORTemporaryFile file;
  ASSERT_TRUE(file.Create(prefix_));
  const fs::path temporary = file.Path();
  EXPECT_FALSE(file.Commit(folder_ / "missing" / "out.wav"));
  EXPECT_FALSE(fs::exists(temporary));
  EXPECT_EQ(std::distance(fs::directory_iterator(folder_), {}), 0);
  EXPECT_FALSE(QORTemporaryFile().Create(folder_ / "missing" / "x-"));
}

TEST_F(QORTemporaryFileTest, OnlyFilesOfEndedWritersAreRemoved) {
  qortest::ChildProcess child;
  ASSERT_TRUE(child.Start("exit-at-once"));
  const std::string ended = std::to_string(child.Pid());
  ASSERT_EQ(child.Wait(), 0);
  QORTemporaryFile live;
  ASSERT_TRUE(live.Create(prefix_));
  const std::string start = prefix_.filename().string();
  const std::string made = live.Path().filename().string();
  const std::string own = made.substr(start.size(), made.rfind('-') - start.size());
  const struct {
    std::string name;
    bool removed;
  } cases[] = {
      {start + ended + "-abcdef", true},
      {start + ended + "-ABC123", true},
      {start + own + "-abcdef", false},                   // its writer runs
      {start + "x-abcdef", false},                        // no process id
      {start + ended + "-abc", false},                    // not six characters
      {start + ended + "abcdef", false},                  // no dash
      {".other.wav.qorapo-" + ended + "-abcdef", false},  // another target's
  };
  for (const auto& c : cases) std::ofstream(folder_ / c.name) << "left";
#ifndef _WIN32
  // A writer in another process namespace shows an id that means nothing here, but its lock.
  const fs::path locked = folder_ / (start + ended + "-locked");
  std::ofstream(locked) << "left";
  QORFileLock lock;
  ASSERT_TRUE(lock.Lock(locked, QORFileLock::Kind::kExclusive, false));
#endif
  QORTemporaryFile::RemoveAbandoned(prefix_);
  for (const auto& c : cases) EXPECT_NE(fs::exists(folder_ / c.name), c.removed) << c.name;
  EXPECT_TRUE(fs::exists(live.Path()));
#ifndef _WIN32
  EXPECT_TRUE(fs::exists(locked));
#endif
}

}  // namespace
