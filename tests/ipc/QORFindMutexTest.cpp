#include <gtest/gtest.h>

#include <grp.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <mutex>
#include <vector>

#include "ChildProcess.h"
#include "TempStateRoot.h"
#include "ipc/QORFindMutex.h"
#include "platform/IQOREvent.h"
#include "platform/IQORNamedMutex.h"
#include "platform/QORWait.h"
#include "platform/posix/QORNamedObject.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
const std::wstring kName = L"Global\\QORCaptureMutexTest";

// Records what it hears and signals an auto-reset event per call.
class Listener : public IQORFindMutexNotify {
 public:
  void OnMutexFound(QORFindMutex& watcher, bool present) override {
    {
      std::lock_guard<std::mutex> guard(lock_);
      heard_.push_back(present);
      watcher_ = &watcher;
    }
    called->Set();
  }
  std::vector<bool> Heard() {
    std::lock_guard<std::mutex> guard(lock_);
    return heard_;
  }
  QORFindMutex* Watcher() {
    std::lock_guard<std::mutex> guard(lock_);
    return watcher_;
  }
  std::unique_ptr<IQOREvent> called = QORCreateEvent(false, false);

 private:
  std::mutex lock_;
  std::vector<bool> heard_;
  QORFindMutex* watcher_ = nullptr;
};

int CreateMutexChild(const std::vector<std::string>&) {
  auto mutex = QORCreateNamedMutex(kName, false);
  if (!mutex) return 1;
  qortest::ChildSay("created");
  std::string line;
  qortest::ChildHear(line);
  return 0;
}
qortest::ChildRegistration createMutex("find-mutex-create", &CreateMutexChild);

// An unprivileged user sharing the root group; only the object's file mode keeps it out.
int CheckAsOtherUserChild(const std::vector<std::string>&) {
  const gid_t groups[] = {0};
  if (::setgroups(1, groups) != 0 || ::setgid(0) != 0 || ::setuid(65534) != 0) return 2;
  QORFindMutex watcher;
  watcher.SetName(kName);
  qortest::ChildSay(std::to_string(watcher.CheckNow()));
  return 0;
}
qortest::ChildRegistration checkAsOther("find-mutex-check-as-other", &CheckAsOtherUserChild);

TEST(QORFindMutex, FirstCheckAfterResetAlwaysNotifies) {
  qortest::TempStateRoot root;
  Listener listener;
  QORFindMutex watcher;
  watcher.SetName(kName);
  watcher.SetListener(&listener);
  EXPECT_EQ(watcher.GetState(), QORFindMutex::kStateUnchecked);
  EXPECT_EQ(watcher.CheckNow(), QORFindMutex::kStateAbsent);
  EXPECT_EQ(watcher.CheckNow(), QORFindMutex::kResultUnchanged);
  watcher.SetState(QORFindMutex::kStateUnchecked);
  EXPECT_EQ(watcher.CheckNow(), QORFindMutex::kStateAbsent);
  EXPECT_EQ(watcher.GetState(), QORFindMutex::kStateAbsent);
  EXPECT_EQ(listener.Heard(), (std::vector<bool>{false, false}));
  EXPECT_EQ(listener.Watcher(), &watcher);
}

TEST(QORFindMutex, ChecksWithoutListenerOnlyTrackTheState) {
  qortest::TempStateRoot root;
  QORFindMutex watcher;
  watcher.SetName(kName);
  auto mutex = QORCreateNamedMutex(kName, false);
  EXPECT_EQ(watcher.CheckNow(), QORFindMutex::kStatePresent);
  EXPECT_EQ(watcher.CheckNow(), QORFindMutex::kResultUnchanged);
  // The check's own handle must not keep the mutex alive.
  mutex.reset();
  EXPECT_EQ(watcher.CheckNow(), QORFindMutex::kStateAbsent);
  EXPECT_EQ(QOROpenNamedMutex(kName), nullptr);
}

TEST(QORFindMutex, WatcherHearsAnotherProcessComeAndDieOnce) {
  qortest::TempStateRoot root;
  Listener listener;
  QORFindMutex watcher;
  watcher.SetName(kName);
  watcher.SetState(QORFindMutex::kStateAbsent);
  watcher.SetListener(&listener);
  ASSERT_TRUE(watcher.GetThread().Start(&watcher));

  qortest::ChildProcess child;
  ASSERT_TRUE(child.Start("find-mutex-create"));
  ASSERT_TRUE(child.WaitFor("created"));
  ASSERT_EQ(QORWaitForSingle(*listener.called, 5000), kQORWaitObject0);
  EXPECT_EQ(watcher.GetState(), QORFindMutex::kStatePresent);
  // Several polls with no change say nothing.
  EXPECT_EQ(QORWaitForSingle(*listener.called, 3 * QORFindMutex::kPollPeriodMs), kQORWaitTimeout);

  const auto killed = Clock::now();
  child.Kill(SIGKILL);
  child.Wait();
  ASSERT_EQ(QORWaitForSingle(*listener.called, 5000), kQORWaitObject0);
  const auto noticed = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - killed);
  // Seen at the next poll; the margin covers a loaded machine.
  EXPECT_LE(noticed.count(), QORFindMutex::kPollPeriodMs + 250);
  watcher.GetThread().Stop(0);
  EXPECT_EQ(watcher.GetThread().GetExitCode(), 1u);
  EXPECT_EQ(listener.Heard(), (std::vector<bool>{true, false}));
  EXPECT_EQ(watcher.GetState(), QORFindMutex::kStateAbsent);
}

TEST(QORFindMutex, StopEndsThePollPromptly) {
  qortest::TempStateRoot root;
  QORFindMutex watcher;
  watcher.SetName(kName);
  ASSERT_TRUE(watcher.GetThread().Start(&watcher));
  const auto start = Clock::now();
  watcher.GetThread().Stop(0);
  EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(QORFindMutex::kPollPeriodMs + 250));
  EXPECT_EQ(watcher.GetThread().GetExitCode(), 1u);
}

TEST(QORFindMutex, MutexThatMayNotBeOpenedCountsAsPresent) {
  qortest::TempStateRoot root;
  auto mutex = QORCreateNamedMutex(kName, false);
  ASSERT_NE(mutex, nullptr);
  const fs::path file =
      fs::path(root.Path()) / "NamedObjects" / QORNamedObject::FileNameFor("mutex", kName);
  ASSERT_EQ(::chmod(file.c_str(), 0), 0);
  if (::geteuid() == 0) {
    qortest::ChildProcess child;
    ASSERT_TRUE(child.Start("find-mutex-check-as-other"));
    std::string line;
    ASSERT_TRUE(child.ReadLine(line));
    EXPECT_EQ(line, std::to_string(QORFindMutex::kStatePresent));
    EXPECT_EQ(child.Wait(), 0);
  } else {
    QORFindMutex watcher;
    watcher.SetName(kName);
    EXPECT_EQ(watcher.CheckNow(), QORFindMutex::kStatePresent);
  }
}

}  // namespace
