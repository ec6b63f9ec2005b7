#include "thread/QORFindMutex.h"

#include <gtest/gtest.h>

#include <signal.h>

#include <mutex>
#include <vector>

#include "ChildProcess.h"
#include "TempStateRoot.h"
#include "platform/IQOREvent.h"
#include "platform/IQORNamedMutex.h"
#include "platform/QORWait.h"

namespace {

const std::wstring kName = L"Global\\QORCaptureMutexTest";

// Records what it hears and signals an auto-reset event per call.
struct Listener : IQORFindMutexNotify {
  void OnMutexFound(QORFindMutex&, bool present) override {
    std::lock_guard<std::mutex> guard(lock);
    heard.push_back(present);
    called->Set();
  }
  std::mutex lock;
  std::vector<bool> heard;
  std::unique_ptr<IQOREvent> called = QORCreateEvent(false, false);
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
  // Several polls with no change say nothing.
  EXPECT_EQ(QORWaitForSingle(*listener.called, 3 * QORFindMutex::kPollPeriodMs), kQORWaitTimeout);

  child.Kill(SIGKILL);
  child.Wait();
  ASSERT_EQ(QORWaitForSingle(*listener.called, 5000), kQORWaitObject0);
  watcher.GetThread().Stop(0);
  std::lock_guard<std::mutex> guard(listener.lock);
  EXPECT_EQ(listener.heard, (std::vector<bool>{true, false}));
}

}  // namespace
