#include <gtest/gtest.h>

#include <signal.h>
#include <sys/mman.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <fstream>
#include <future>
#include <map>
#include <memory>
#include <sstream>
#include <thread>

#include "ChildProcess.h"
#include "TempStateRoot.h"
#include "platform/IQOREvent.h"
#include "platform/IQORNamedMutex.h"
#include "platform/IQORSharedMemory.h"
#include "platform/posix/QORNamedObject.h"

namespace {

using Clock = std::chrono::steady_clock;
using Mode = QORNamedObject::Mode;
using Stage = QORNamedObject::Stage;

constexpr const char* kKind = "peer";
constexpr size_t kSize = 64;
// What "in time" means for a call that must not wait for a stopped peer.
constexpr auto kPromptly = std::chrono::milliseconds(2000);

std::atomic<int> freezeStage{-1};

// Stops this process once at the chosen stage, telling the parent first.
void FreezeHook(Stage stage) {
  if (static_cast<int>(stage) != freezeStage.load()) return;
  freezeStage.store(-1);
  qortest::ChildSay("stopping");
  ::raise(SIGSTOP);
}

int Code(QORNamedObjectError error) {
  return static_cast<int>(error);
}

// A peer driven line by line: "freeze <stage>", "create <name>", "open <name>", "close <name>".
// It answers "<verb> <error> <existed>" after each call.
int PeerChild(const std::vector<std::string>&) {
  QORNamedObject::SetStageHook(&FreezeHook);
  std::map<std::string, std::unique_ptr<QORNamedObject>> held;
  std::string line;
  while (qortest::ChildHear(line)) {
    std::istringstream words(line);
    std::string verb;
    std::string name;
    words >> verb >> name;
    if (verb == "freeze") {
      freezeStage.store(std::stoi(name));
      qortest::ChildSay("armed");
    } else if (verb == "create" || verb == "open") {
      auto object = std::make_unique<QORNamedObject>();
      bool existed = false;
      const QORNamedObjectError error =
          object->Open(kKind, std::wstring(name.begin(), name.end()),
                       verb == "create" ? Mode::kCreate : Mode::kOpen, kSize, nullptr, &existed);
      if (error == QORNamedObjectError::kNone) held[name] = std::move(object);
      qortest::ChildSay(verb + " " + std::to_string(Code(error)) + " " + (existed ? "1" : "0"));
    } else if (verb == "close") {
      held.erase(name);
      qortest::ChildSay("close 0 0");
    }
  }
  return 0;
}
qortest::ChildRegistration peer("named-peer", &PeerChild);

bool IsStopped(int pid) {
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
  const size_t end = text.rfind(')');
  return end != std::string::npos && end + 2 < text.size() && text[end + 2] == 'T';
}

// A peer process, resumed (and killed) whatever the test's outcome.
class Peer {
 public:
  Peer() { started_ = child_.Start("named-peer"); }
  ~Peer() {
    if (child_.Pid() > 0) ::kill(child_.Pid(), SIGCONT);
  }
  bool Started() const { return started_; }
  qortest::ChildProcess& Child() { return child_; }

  // Sends a command and returns the answer line ("" when none came).
  std::string Do(const std::string& command) {
    std::string answer;
    if (!child_.SendLine(command) || !child_.ReadLine(answer)) return "";
    return answer;
  }
  // Sends a command that stops the peer at stage; true once it is stopped there.
  bool DoAndFreeze(Stage stage, const std::string& command) {
    if (Do("freeze " + std::to_string(static_cast<int>(stage))) != "armed") return false;
    if (!child_.SendLine(command) || !child_.WaitFor("stopping")) return false;
    const auto deadline = Clock::now() + std::chrono::seconds(10);
    while (!IsStopped(child_.Pid())) {
      if (Clock::now() > deadline) return false;
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
  }
  // Lets a stopped peer go on and returns its answer to the command it was stopped in.
  std::string Resume() {
    if (child_.Pid() <= 0) return "";
    ::kill(child_.Pid(), SIGCONT);
    std::string answer;
    return child_.ReadLine(answer) ? answer : "";
  }
  void Kill() {
    child_.Kill(SIGKILL);
    child_.Wait();
  }

 private:
  qortest::ChildProcess child_;
  bool started_ = false;
};

// Runs work on another thread; true when it ended within limit. Otherwise the stopped peer is
// killed (freeing whatever it held) so that work can end before this returns.
template <typename Work>
bool EndsWithin(Work work, Clock::duration limit, Peer& stopped) {
  std::packaged_task<void()> task(work);
  std::future<void> done = task.get_future();
  std::thread runner(std::move(task));
  const bool inTime = done.wait_for(limit) == std::future_status::ready;
  if (!inTime) stopped.Kill();
  runner.join();
  return inTime;
}

struct Opened {
  QORNamedObjectError error;
  bool existed;
};

Opened OpenObject(QORNamedObject& object, const wchar_t* name, Mode mode) {
  bool existed = false;
  const QORNamedObjectError error = object.Open(kKind, name, mode, kSize, nullptr, &existed);
  return {error, existed};
}

// Every kind of named object, created, opened again and closed under names the peer never uses.
void UseUnrelatedNames() {
  bool existed = true;
  auto mutex = QORCreateNamedMutex(L"Global\\OtherMutex", true, &existed);
  EXPECT_NE(mutex, nullptr);
  EXPECT_FALSE(existed);
  EXPECT_NE(QOROpenNamedMutex(L"Global\\OtherMutex"), nullptr);
  auto event = QORCreateNamedEvent(L"OtherEvent", true, false);
  EXPECT_NE(event, nullptr);
  EXPECT_NE(QOROpenNamedEvent(L"OtherEvent"), nullptr);
  auto block = QORCreateSharedMemory(L"OtherBlock", 4096);
  EXPECT_NE(block, nullptr);
  QORNamedObjectError error = QORNamedObjectError::kNone;
  EXPECT_EQ(QOROpenSharedMemory(L"NeverMade", 16, &error), nullptr);
  EXPECT_EQ(error, QORNamedObjectError::kNotFound);
  mutex.reset();
  EXPECT_EQ(QOROpenNamedMutex(L"Global\\OtherMutex", &error), nullptr);
  EXPECT_EQ(error, QORNamedObjectError::kNotFound);
}

TEST(QORNamedObjectPeer, UnrelatedNamesGoOnWhileAPeerIsStoppedInsideOpenOrClose) {
  qortest::TempStateRoot root;
  for (Stage stage : {Stage::kJoining, Stage::kCreating, Stage::kRemoving}) {
    SCOPED_TRACE(static_cast<int>(stage));
    QORNamedObject mine;
    Peer frozen;
    ASSERT_TRUE(frozen.Started());
    std::string expected;
    if (stage == Stage::kJoining) {
      ASSERT_EQ(OpenObject(mine, L"Frozen", Mode::kCreate).error, QORNamedObjectError::kNone);
      ASSERT_TRUE(frozen.DoAndFreeze(stage, "open Frozen"));
      expected = "open 0 1";
    } else if (stage == Stage::kCreating) {
      ASSERT_TRUE(frozen.DoAndFreeze(stage, "create Frozen"));
      expected = "create 0 0";
    } else {
      ASSERT_EQ(frozen.Do("create Frozen"), "create 0 0");
      ASSERT_TRUE(frozen.DoAndFreeze(stage, "close Frozen"));
      expected = "close 0 0";
    }
    EXPECT_TRUE(EndsWithin(&UseUnrelatedNames, kPromptly, frozen));
    EXPECT_EQ(frozen.Resume(), expected);
  }
}

TEST(QORNamedObjectPeer, APeerStoppedOnTheSameNameHoldsItUpOnlyBriefly) {
  qortest::TempStateRoot root;
  {
    // Stopped while removing the object it was the last holder of: the object has ended, and a
    // new one waits for the name, up to a limit.
    Peer frozen;
    ASSERT_EQ(frozen.Do("create Name"), "create 0 0");
    ASSERT_TRUE(frozen.DoAndFreeze(Stage::kRemoving, "close Name"));
    QORNamedObject object;
    EXPECT_EQ(OpenObject(object, L"Name", Mode::kOpen).error, QORNamedObjectError::kNotFound);
    const auto start = Clock::now();
    EXPECT_EQ(OpenObject(object, L"Name", Mode::kCreate).error, QORNamedObjectError::kBusy);
    const auto waited = Clock::now() - start;
    EXPECT_GE(waited, std::chrono::milliseconds(900));
    EXPECT_LT(waited, kPromptly);
    EXPECT_EQ(frozen.Resume(), "close 0 0");
    const Opened created = OpenObject(object, L"Name", Mode::kCreate);
    EXPECT_EQ(created.error, QORNamedObjectError::kNone);
    EXPECT_FALSE(created.existed);
  }
  {
    // Stopped while creating it: not there yet for an opener; a creator gives up in time.
    Peer frozen;
    ASSERT_TRUE(frozen.DoAndFreeze(Stage::kCreating, "create Made"));
    QORNamedObject object;
    EXPECT_EQ(OpenObject(object, L"Made", Mode::kOpen).error, QORNamedObjectError::kNotFound);
    const auto start = Clock::now();
    EXPECT_EQ(OpenObject(object, L"Made", Mode::kCreate).error, QORNamedObjectError::kBusy);
    EXPECT_LT(Clock::now() - start, kPromptly);
    EXPECT_EQ(frozen.Resume(), "create 0 0");
    const Opened opened = OpenObject(object, L"Made", Mode::kOpen);
    EXPECT_EQ(opened.error, QORNamedObjectError::kNone);
    EXPECT_TRUE(opened.existed);
  }
  {
    // Stopped while joining an object we hold: we still open and close it at once, and when our
    // last handle goes the object ends, for the stopped peer as well.
    QORNamedObject first;
    ASSERT_EQ(OpenObject(first, L"Joined", Mode::kCreate).error, QORNamedObjectError::kNone);
    Peer frozen;
    ASSERT_TRUE(frozen.DoAndFreeze(Stage::kJoining, "open Joined"));
    const auto start = Clock::now();
    QORNamedObject second;
    const Opened opened = OpenObject(second, L"Joined", Mode::kOpen);
    EXPECT_EQ(opened.error, QORNamedObjectError::kNone);
    EXPECT_TRUE(opened.existed);
    second.Close();
    first.Close();
    EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(500));
    // Whether the stopped peer was about to join cannot be told: an opener waits, then says so.
    QORNamedObject third;
    EXPECT_EQ(OpenObject(third, L"Joined", Mode::kOpen).error, QORNamedObjectError::kBusy);
    EXPECT_EQ(frozen.Resume(), "open 1 0");
    EXPECT_EQ(OpenObject(third, L"Joined", Mode::kOpen).error, QORNamedObjectError::kNotFound);
  }
}

// Holds a block with a text in it until killed.
int HoldBlockChild(const std::vector<std::string>& args) {
  bool existed = false;
  auto block = QORCreateSharedMemory(L"Held", kSize, &existed);
  if (!block) return 1;
  if (!existed) std::memcpy(block->Data(), args[0].c_str(), args[0].size() + 1);
  qortest::ChildSay("holding");
  std::string line;
  qortest::ChildHear(line);
  return 0;
}
qortest::ChildRegistration holdBlock("hold-block", &HoldBlockChild);

TEST(QORNamedObjectPeer, ObjectEndsWhenItsLastHolderIsKilledWhereverItStopped) {
  qortest::TempStateRoot root;
  qortest::ChildProcess holders[2];
  for (auto& holder : holders) {
    ASSERT_TRUE(holder.Start("hold-block", {"alive"}));
    ASSERT_TRUE(holder.WaitFor("holding"));
  }
  holders[0].Kill(SIGKILL);
  holders[0].Wait();
  {
    auto block = QOROpenSharedMemory(L"Held", kSize);
    ASSERT_NE(block, nullptr);
    EXPECT_STREQ(static_cast<const char*>(block->Data()), "alive");
  }
  holders[1].Kill(SIGKILL);
  holders[1].Wait();
  QORNamedObjectError error = QORNamedObjectError::kNone;
  EXPECT_EQ(QOROpenSharedMemory(L"Held", kSize, &error), nullptr);
  EXPECT_EQ(error, QORNamedObjectError::kNotFound);

  // A peer killed while stopped with the name in hand leaves nothing behind that looks alive.
  for (Stage stage : {Stage::kCreating, Stage::kRemoving, Stage::kJoining}) {
    SCOPED_TRACE(static_cast<int>(stage));
    qortest::ChildProcess holder;
    ASSERT_TRUE(holder.Start("hold-block", {"stale"}));
    ASSERT_TRUE(holder.WaitFor("holding"));
    Peer frozen;
    if (stage == Stage::kCreating) {
      holder.Kill(SIGKILL);
      holder.Wait();
      ASSERT_EQ(frozen.Do("open Held"), "open 1 0");
      ASSERT_TRUE(frozen.DoAndFreeze(stage, "create Held"));
    } else if (stage == Stage::kRemoving) {
      // The holder's death leaves a stale file that the peer stops while removing.
      holder.Kill(SIGKILL);
      holder.Wait();
      ASSERT_TRUE(frozen.DoAndFreeze(stage, "open Held"));
    } else {
      ASSERT_TRUE(frozen.DoAndFreeze(stage, "open Held"));
      holder.Kill(SIGKILL);
      holder.Wait();
    }
    frozen.Kill();
    const auto start = Clock::now();
    bool existed = true;
    auto block = QORCreateSharedMemory(L"Held", kSize, &existed);
    EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(500));
    ASSERT_NE(block, nullptr);
    EXPECT_FALSE(existed);
    const auto* bytes = static_cast<const unsigned char*>(block->Data());
    for (size_t i = 0; i < kSize; ++i) ASSERT_EQ(bytes[i], 0) << i;
  }
}

constexpr int kRacers = 4;
constexpr int kRounds = 300;

// Shared by the racers through a block the parent holds throughout.
struct Ledger {
  // The token of the object each racer holds at the moment, 0 when none.
  std::atomic<uint64_t> holding[kRacers];
  std::atomic<uint32_t> faults;
  std::atomic<uint32_t> creates;
  std::atomic<uint32_t> joins;
  std::atomic<uint32_t> ready;
};

// Creates or opens "Race" over and over. A new object must come zero-filled and gets a token; an
// opened one must carry a token, the same one every other racer holds at that moment.
int RaceChild(const std::vector<std::string>& args) {
  const int index = std::stoi(args[0]);
  auto ledgerBlock = QOROpenSharedMemory(L"Ledger", sizeof(Ledger));
  if (!ledgerBlock) return 1;
  auto* ledger = static_cast<Ledger*>(ledgerBlock->Data());
  // All start together, so they meet.
  ledger->ready.fetch_add(1);
  const auto deadline = Clock::now() + std::chrono::seconds(10);
  while (ledger->ready.load() < kRacers && Clock::now() < deadline) std::this_thread::yield();
  for (int round = 0; round < kRounds; ++round) {
    const uint64_t token = (static_cast<uint64_t>(::getpid()) << 20) | (round + 1);
    auto initialize = [&](int fd, int, const std::string&) {
      uint64_t data[kSize / 8] = {};
      if (::pread(fd, data, sizeof(data), QORNamedObject::kDataOffset) != sizeof(data)) {
        return false;
      }
      for (uint64_t word : data) {
        if (word != 0) ledger->faults.fetch_add(1);
      }
      return ::pwrite(fd, &token, sizeof(token), QORNamedObject::kDataOffset) == sizeof(token);
    };
    QORNamedObject object;
    bool existed = false;
    const Mode mode = round % 3 == 2 ? Mode::kOpen : Mode::kCreate;
    const QORNamedObjectError error =
        object.Open(kKind, L"Race", mode, kSize, initialize, &existed);
    if (error == QORNamedObjectError::kNotFound && mode == Mode::kOpen) continue;
    if (error != QORNamedObjectError::kNone) {
      ledger->faults.fetch_add(1);
      continue;
    }
    uint64_t seen = 0;
    if (::pread(object.Fd(), &seen, sizeof(seen), QORNamedObject::kDataOffset) != sizeof(seen) ||
        seen == 0 || (!existed && seen != token)) {
      ledger->faults.fetch_add(1);
    }
    (existed ? ledger->joins : ledger->creates).fetch_add(1);
    ledger->holding[index].store(seen);
    for (int other = 0; other < kRacers; ++other) {
      const uint64_t theirs = ledger->holding[other].load();
      if (theirs != 0 && theirs != seen) ledger->faults.fetch_add(1);
    }
    if (round % 2 == 0) std::this_thread::yield();
    ledger->holding[index].store(0);
    object.Close();
    // Gaps of different lengths, so the object keeps ending and being made again.
    std::this_thread::sleep_for(std::chrono::microseconds(50 * ((round * 7 + index) % 5)));
  }
  return 0;
}
qortest::ChildRegistration race("race-named-object", &RaceChild);

TEST(QORNamedObjectPeer, RacingOpenersAndClosersNeitherSplitNorReviveAnObject) {
  qortest::TempStateRoot root;
  auto ledgerBlock = QORCreateSharedMemory(L"Ledger", sizeof(Ledger));
  ASSERT_NE(ledgerBlock, nullptr);
  auto* ledger = static_cast<Ledger*>(ledgerBlock->Data());
  qortest::ChildProcess racers[kRacers];
  for (int i = 0; i < kRacers; ++i)
    ASSERT_TRUE(racers[i].Start("race-named-object", {std::to_string(i)}));
  for (auto& racer : racers) EXPECT_EQ(racer.Wait(), 0);
  EXPECT_EQ(ledger->faults.load(), 0u);
  // The racers did meet: objects were made anew and joined.
  EXPECT_GT(ledger->creates.load(), 1u);
  EXPECT_GT(ledger->joins.load(), 0u);
  std::printf("%u objects made, %u joined\n", ledger->creates.load(), ledger->joins.load());
  QORNamedObject object;
  EXPECT_EQ(OpenObject(object, L"Race", Mode::kOpen).error, QORNamedObjectError::kNotFound);
}

}  // namespace
