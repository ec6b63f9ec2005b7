#include "platform/QORFileLock.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "TempStateRoot.h"

namespace {

namespace fs = std::filesystem;
using Kind = QORFileLock::Kind;

class QORFileLockTest : public ::testing::Test {
 protected:
  void SetUp() override {
    path_ = fs::path(root_.Path()) / "serve.lock";
    std::ofstream(path_) << "locked";
  }

  qortest::TempStateRoot root_;
  fs::path path_;
};

// Two holders of one file, as two processes would be: only shared meets shared.
TEST_F(QORFileLockTest, OnlySharedLocksMeetAndEveryLockEndsWithItsHolder) {
  const struct {
    Kind held;
    Kind tried;
    bool granted;
  } cases[] = {
      {Kind::kShared, Kind::kShared, true},
      {Kind::kShared, Kind::kExclusive, false},
      {Kind::kExclusive, Kind::kShared, false},
      {Kind::kExclusive, Kind::kExclusive, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(static_cast<int>(c.held) * 10 + static_cast<int>(c.tried));
    QORFileLock tried;
    {
      QORFileLock held;
      ASSERT_TRUE(held.Lock(path_, c.held, false));
      EXPECT_EQ(tried.Lock(path_, c.tried, false), c.granted);
      tried.Unlock();
    }
    // The holder is gone: the lock is to be had.
    EXPECT_TRUE(tried.Lock(path_, c.tried, false));
    tried.Unlock();
    QORFileLock again;
    EXPECT_TRUE(again.Lock(path_, Kind::kExclusive, false));
  }
}

TEST_F(QORFileLockTest, AWaitingLockIsGrantedOnceTheHolderLetsGo) {
  QORFileLock held;
  ASSERT_TRUE(held.Lock(path_, Kind::kExclusive, false));
  std::atomic<bool> granted{false};
  std::thread waiter([&] {
    QORFileLock waiting;
    granted.store(waiting.Lock(path_, Kind::kShared, true));
  });
  // Still waiting while the holder holds (a grant would show by now in any run).
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_FALSE(granted.load());
  held.Unlock();
  waiter.join();
  EXPECT_TRUE(granted.load());
}

TEST_F(QORFileLockTest, ALockedFileIsReadAndWrittenAsAnyOther) {
  QORFileLock held;
  ASSERT_TRUE(held.Lock(path_, Kind::kExclusive, false));
  std::ofstream(path_, std::ios::app) << " and written";
  std::stringstream text;
  text << std::ifstream(path_).rdbuf();
  EXPECT_EQ(text.str(), "locked and written");
}

TEST_F(QORFileLockTest, WhatIsNoFileToLockIsRefused) {
  QORFileLock lock;
  EXPECT_FALSE(lock.Lock(fs::path(root_.Path()) / "missing", Kind::kShared, false));
  EXPECT_FALSE(lock.Lock(root_.Path(), Kind::kShared, false));  // a folder
#ifndef _WIN32
  // Windows gives symbolic links to administrators only.
  fs::create_symlink(path_, fs::path(root_.Path()) / "link");
  EXPECT_FALSE(lock.Lock(fs::path(root_.Path()) / "link", Kind::kShared, false));
#endif
}

}  // namespace
