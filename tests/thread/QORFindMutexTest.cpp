#include <gtest/gtest.h>

#include <signal.h>

#include <chrono>
#include <fstream>
#include <future>
#include <iterator>
#include <mutex>
#include <thread>
#include <vector>

#include "ChildProcess.h"
#include "TempStateRoot.h"
#include "platform/IQOREvent.h"
#include "platform/IQORNamedMutex.h"
#include "platform/QORWait.h"
#include "platform/posix/QORNamedObject.h"
#include "thread/QORFindMutex.h"

namespace {

const std::wstring kName = L"Global\\QORCaptureMutexTest";

// Records what it hears and signals an auto-reset event per call.
class Listener : public IQORFindMutexNotify {
 public:
  void OnMutexFound(QORFindMutex&, bool present) override {
    {
      std::lock_guard<std::mutex> guard(lock_);
      heard_.push_back(present);
    }
    called->Set();
  }
  std::vector<bool> Heard() {
    std::lock_guard<std::mutex> guard(lock_);
    return heard_;
  }
  std::unique_ptr<IQOREvent> called = QORCreateEvent(false, false);

 private:
  std::mutex lock_;
  std::vector<bool> heard_;
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
  EXPECT_EQ(listener.Heard(), (std::vector<bool>{true, false}));
}

// Stops itself while creating a mutex of another name, with that name in hand.
int FreezeInOtherNameChild(const std::vector<std::string>&) {
  QORNamedObject::SetStageHook([](QORNamedObject::Stage stage) {
    if (stage != QORNamedObject::Stage::kCreating) return;
    qortest::ChildSay("stopping");
    ::raise(SIGSTOP);
  });
  auto mutex = QORCreateNamedMutex(L"Global\\SomeOtherMutex", false);
  qortest::ChildSay(mutex ? "created" : "failed");
  std::string line;
  qortest::ChildHear(line);
  return 0;
}
qortest::ChildRegistration freezeInOtherName("find-mutex-freeze", &FreezeInOtherNameChild);

bool WaitStopped(int pid) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (std::chrono::steady_clock::now() < deadline) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    const std::string text((std::istreambuf_iterator<char>(stat)),
                           std::istreambuf_iterator<char>());
    const size_t end = text.rfind(')');
    if (end != std::string::npos && end + 2 < text.size() && text[end + 2] == 'T') return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return false;
}

TEST(QORFindMutex, ChecksGoOnWhileAnotherProcessIsStoppedOpeningAnotherName) {
  qortest::TempStateRoot root;
  QORFindMutex watcher;
  watcher.SetName(kName);
  watcher.SetState(QORFindMutex::kStateUnchecked);
  qortest::ChildProcess holder;
  ASSERT_TRUE(holder.Start("find-mutex-create"));
  ASSERT_TRUE(holder.WaitFor("created"));
  qortest::ChildProcess frozen;
  ASSERT_TRUE(frozen.Start("find-mutex-freeze"));
  ASSERT_TRUE(frozen.WaitFor("stopping"));
  ASSERT_TRUE(WaitStopped(frozen.Pid()));

  // Each check within a bound; past it the stopped process is killed so the check can end.
  auto checkInTime = [&] {
    std::packaged_task<uint32_t()> task([&] { return watcher.CheckNow(); });
    std::future<uint32_t> result = task.get_future();
    std::thread checker(std::move(task));
    const bool inTime = result.wait_for(std::chrono::seconds(2)) == std::future_status::ready;
    if (!inTime) frozen.Kill(SIGKILL);
    checker.join();
    EXPECT_TRUE(inTime);
    return result.get();
  };
  EXPECT_EQ(checkInTime(), QORFindMutex::kStatePresent);
  holder.Kill(SIGKILL);
  holder.Wait();
  EXPECT_EQ(checkInTime(), QORFindMutex::kStateAbsent);

  ::kill(frozen.Pid(), SIGCONT);
  EXPECT_TRUE(frozen.WaitFor("created"));
}

}  // namespace
