#include <gtest/gtest.h>

#include <signal.h>

#include <thread>

#include "ChildProcess.h"
#include "TempStateRoot.h"
#include "platform/IQORNamedMutex.h"
#include "platform/IQORWaitable.h"

namespace {

const std::wstring kName = L"Global\\QORTestMutex";

// Creates the mutex, optionally takes it, reports, and waits to be killed.
int HoldMutexChild(const std::vector<std::string>& args) {
  const bool own = !args.empty() && args[0] == "own";
  auto mutex = QORCreateNamedMutex(kName, false);
  if (!mutex || (own && mutex->Wait(kQORInfinite) != QORMutexWaitResult::kAcquired)) return 1;
  qortest::ChildSay(own ? "owned" : "created");
  std::string line;
  qortest::ChildHear(line);
  return 0;
}
qortest::ChildRegistration holdMutex("hold-mutex", &HoldMutexChild);

TEST(QORNamedMutex, PresentWhileAKilledChildHeldItThenAbsent) {
  qortest::TempStateRoot root;
  QORNamedObjectError error = QORNamedObjectError::kNone;
  qortest::ChildProcess child;
  ASSERT_TRUE(child.Start("hold-mutex"));
  ASSERT_TRUE(child.WaitFor("created"));
  EXPECT_NE(QOROpenNamedMutex(kName, &error), nullptr);
  EXPECT_EQ(error, QORNamedObjectError::kNone);
  child.Kill(SIGKILL);
  child.Wait();
  EXPECT_EQ(QOROpenNamedMutex(kName, &error), nullptr);
  EXPECT_EQ(error, QORNamedObjectError::kNotFound);
}

TEST(QORNamedMutex, OwnerKilledLeavesItAbandoned) {
  qortest::TempStateRoot root;
  qortest::ChildProcess owner;
  ASSERT_TRUE(owner.Start("hold-mutex", {"own"}));
  ASSERT_TRUE(owner.WaitFor("owned"));
  auto mutex = QOROpenNamedMutex(kName);
  ASSERT_NE(mutex, nullptr);
  EXPECT_EQ(mutex->Wait(0), QORMutexWaitResult::kTimeout);
  owner.Kill(SIGKILL);
  owner.Wait();
  // An untimed wait: ThreadSanitizer does not see an abandoned mutex taken by a timed wait as held.
  EXPECT_EQ(mutex->Wait(kQORInfinite), QORMutexWaitResult::kAbandoned);
  EXPECT_TRUE(mutex->Release());
}

// What another thread gets from a wait of 0 on mutex, releasing it again when it got it.
QORMutexWaitResult WaitFromOtherThread(IQORNamedMutex& mutex) {
  QORMutexWaitResult result = QORMutexWaitResult::kFailed;
  std::thread([&] {
    result = mutex.Wait(0);
    if (result == QORMutexWaitResult::kAcquired) mutex.Release();
  }).join();
  return result;
}

TEST(QORNamedMutex, ClosingTheOwnersHandleReleasesIt) {
  qortest::TempStateRoot root;
  auto mutex = QORCreateNamedMutex(kName, false);
  ASSERT_NE(mutex, nullptr);
  auto owned = QOROpenNamedMutex(kName);
  ASSERT_NE(owned, nullptr);
  ASSERT_EQ(owned->Wait(0), QORMutexWaitResult::kAcquired);
  EXPECT_EQ(WaitFromOtherThread(*mutex), QORMutexWaitResult::kTimeout);
  owned.reset();
  EXPECT_EQ(WaitFromOtherThread(*mutex), QORMutexWaitResult::kAcquired);
}

}  // namespace
