// The POSIX backend's named-object files; the Win32 backend has its own tests.
#ifndef _WIN32

#include "platform/posix/QORNamedObject.h"

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <future>
#include <map>
#include <memory>
#include <sstream>
#include <thread>

#include "ChildProcess.h"
#include "TempStateRoot.h"
#include "platform/IQOREvent.h"
#include "platform/IQORNamedMutex.h"
#include "platform/IQORPipeClient.h"
#include "platform/IQORPipeServer.h"
#include "platform/IQORSharedMemory.h"

// The wall clock as this binary reads it, shifted by a test to play a clock step: the kernel still
// counts a wait on the true clock, as it would after a real step (which needs privileges).
std::atomic<long> wallClockShiftSeconds{0};

extern "C" int clock_gettime(clockid_t clock, struct timespec* now) noexcept {
  const int result = static_cast<int>(::syscall(SYS_clock_gettime, clock, now));
  if (result == 0 && clock == CLOCK_REALTIME) now->tv_sec += wallClockShiftSeconds.load();
  return result;
}

namespace {

using Clock = std::chrono::steady_clock;
using Error = QORNamedObjectError;
using Mode = QORNamedObject::Mode;
using Stage = QORNamedObject::Stage;

constexpr const char* kKind = "peer";
constexpr size_t kSize = 64;
// What "in time" means for a call that must not wait for a stopped peer.
constexpr auto kPromptly = std::chrono::milliseconds(2000);
const std::wstring kPipe = L"\\\\.\\pipe\\QORTestPipe";
constexpr size_t kMessageSize = 1928;

std::atomic<int> freezeStage{-1};

// A peer answering "<verb> <error> <existed>" to "create|open|close <name> [stage to stop at]" on
// raw objects, or to "pipe", holding an instance of kPipe (its index in place of existed).
int PeerChild(const std::vector<std::string>&) {
  QORNamedObject::SetStageHook([](Stage stage) {  // stops once at the chosen stage, saying so
    if (static_cast<int>(stage) != freezeStage.load()) return;
    freezeStage.store(-1);
    qortest::ChildSay("stopping");
    ::raise(SIGSTOP);
  });
  std::map<std::string, std::unique_ptr<QORNamedObject>> held;
  std::unique_ptr<IQORPipeServer> pipe;
  std::string line;
  while (qortest::ChildHear(line)) {
    std::istringstream words(line);
    std::string verb;
    std::string name;
    int stage = -1;
    words >> verb >> name >> stage;
    freezeStage.store(stage);
    auto object = std::make_unique<QORNamedObject>();
    bool existed = false;
    Error error = Error::kNone;
    if (verb == "create" || verb == "open") {
      error =
          object->Open(kKind, std::wstring(name.begin(), name.end()),
                       verb == "create" ? Mode::kCreate : Mode::kOpen, kSize, nullptr, &existed);
      if (error == Error::kNone) held[name] = std::move(object);
    } else if (verb == "close") {
      held.erase(name);
    } else if (verb == "pipe") {
      pipe = QORCreatePipeServer(kPipe, kMessageSize, &error);
    }
    qortest::ChildSay(verb + " " + std::to_string(static_cast<int>(error)) + " " +
                      std::to_string(pipe ? pipe->GetIndex() : existed));
  }
  return 0;
}
qortest::ChildRegistration peer("named-peer", &PeerChild);

class Peer {
 public:
  Peer() { child_.Start("named-peer"); }
  std::string Do(const std::string& command) {
    std::string answer;
    return child_.SendLine(command) && child_.ReadLine(answer) ? answer : "";
  }
  // Sends a command that stops the peer at stage; true once it is stopped there.
  bool DoAndFreeze(Stage stage, const std::string& command) {
    const std::string line = command + " " + std::to_string(static_cast<int>(stage));
    if (!child_.SendLine(line) || !child_.WaitFor("stopping")) return false;
    int status = 0;  // it stops (or dies) right after saying so
    return ::waitpid(child_.Pid(), &status, WUNTRACED) == child_.Pid() && WIFSTOPPED(status);
  }
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
};

// "<error> <existed>", the error as its number, as the peer answers.
std::string Open(QORNamedObject& object, Mode mode, const wchar_t* name = L"Name") {
  bool existed = false;
  const Error error = object.Open(kKind, name, mode, kSize, nullptr, &existed);
  return std::to_string(static_cast<int>(error)) + (existed ? " 1" : " 0");
}

// Every kind of named object, created, opened again and closed under names the peer never uses.
void UseUnrelatedNames() {
  bool existed = true;
  auto mutex = QORCreateNamedMutex(L"Global\\OtherMutex", true, &existed);
  EXPECT_TRUE(mutex != nullptr && !existed);
  EXPECT_NE(QOROpenNamedMutex(L"Global\\OtherMutex"), nullptr);
  EXPECT_NE(QORCreateNamedEvent(L"OtherEvent", true, false), nullptr);
  EXPECT_NE(QORCreateSharedMemory(L"OtherBlock", 4096), nullptr);
  Error error = Error::kNone;
  mutex.reset();
  EXPECT_EQ(QOROpenNamedMutex(L"Global\\OtherMutex", &error), nullptr);
  EXPECT_EQ(error, Error::kNotFound);
}

// A peer stopped inside open or close holds up nobody's work on other names, and its own name only
// briefly: a creator gives up in time while it is stopped creating, or removing its last hold.
TEST(QORNamedObjectPeer, APeerStoppedInsideOpenOrCloseHoldsUpOnlyItsOwnNameAndBriefly) {
  qortest::TempStateRoot root;
  for (Stage stage : {Stage::kJoining, Stage::kCreating, Stage::kRemoving}) {
    SCOPED_TRACE(static_cast<int>(stage));
    QORNamedObject first;
    Peer frozen;
    if (stage == Stage::kJoining) {
      ASSERT_EQ(Open(first, Mode::kCreate), "0 0");
      ASSERT_TRUE(frozen.DoAndFreeze(stage, "open Name"));
    } else if (stage == Stage::kCreating) {
      ASSERT_TRUE(frozen.DoAndFreeze(stage, "create Name"));
    } else {
      ASSERT_EQ(frozen.Do("create Name"), "create 0 0");
      ASSERT_TRUE(frozen.DoAndFreeze(stage, "close Name"));
    }
    auto done = std::async(std::launch::async, &UseUnrelatedNames);
    const bool inTime = done.wait_for(kPromptly) == std::future_status::ready;
    if (!inTime) frozen.Kill();  // frees what it held, so the work can end
    EXPECT_TRUE(inTime);
    done.get();
    if (stage == Stage::kJoining) {  // joined the object we hold, which lives while either does
      EXPECT_EQ(frozen.Resume(), "open 0 1");
      first.Close();
      EXPECT_EQ(Open(*std::make_unique<QORNamedObject>(), Mode::kOpen), "0 1");
      frozen.Kill();
      EXPECT_EQ(Open(first, Mode::kOpen), "1 0");  // its last holder killed, it has ended
      continue;
    }
    const bool removing = stage == Stage::kRemoving;
    EXPECT_EQ(Open(first, Mode::kOpen), "1 0");  // kNotFound
    const auto start = Clock::now();
    EXPECT_EQ(Open(first, Mode::kCreate), "4 0");  // kBusy
    const auto waited = Clock::now() - start;
    if (removing) {
      EXPECT_GE(waited, std::chrono::milliseconds(900));
    }
    EXPECT_LT(waited, kPromptly);
    EXPECT_EQ(frozen.Resume(), removing ? "close 0 0" : "create 0 0");
    // Then the name is free (removing) or holds the peer's object (creating).
    EXPECT_EQ(Open(first, removing ? Mode::kCreate : Mode::kOpen), removing ? "0 0" : "0 1");
  }
}

constexpr int kRacers = 4;

struct Ledger {
  std::atomic<uint64_t> holding[kRacers];  // the token of the object each holds now, or 0
  std::atomic<uint32_t> faults, creates, joins, ready;
};

// Creates or opens "Race" 300 times. A new object must come zero-filled and gets a token; an
// opened one must carry a token, the same one every other racer holds at that moment.
int RaceChild(const std::vector<std::string>& args) {
  const int index = std::stoi(args[0]);
  auto block = QOROpenSharedMemory(L"Ledger", sizeof(Ledger));
  if (!block) return 1;
  auto* ledger = static_cast<Ledger*>(block->Data());
  ledger->ready.fetch_add(1);  // all start together, so they meet
  const auto end = Clock::now() + std::chrono::seconds(10);
  while (ledger->ready.load() < kRacers && Clock::now() < end) std::this_thread::yield();
  for (int round = 0; round < 300; ++round) {
    const uint64_t token = (static_cast<uint64_t>(::getpid()) << 20) | (round + 1);
    auto initialize = [&](int fd, int, const std::string&) {
      uint64_t data[kSize / 8] = {};
      const bool read = ::pread(fd, data, kSize, QORNamedObject::kDataOffset) == kSize;
      for (uint64_t word : data) ledger->faults.fetch_add(word != 0);
      return read && ::pwrite(fd, &token, 8, QORNamedObject::kDataOffset) == 8;
    };
    QORNamedObject object;
    bool existed = false;
    const Mode mode = round % 3 == 2 ? Mode::kOpen : Mode::kCreate;
    const Error error = object.Open(kKind, L"Race", mode, kSize, initialize, &existed);
    if (error == Error::kNotFound && mode == Mode::kOpen) continue;
    uint64_t seen = 0;
    if (error != Error::kNone ||
        ::pread(object.Fd(), &seen, sizeof(seen), QORNamedObject::kDataOffset) != sizeof(seen) ||
        seen == 0 || (!existed && seen != token)) {
      ledger->faults.fetch_add(1);
      continue;
    }
    (existed ? ledger->joins : ledger->creates).fetch_add(1);
    ledger->holding[index].store(seen);
    for (const auto& holding : ledger->holding) {
      const uint64_t theirs = holding.load();
      ledger->faults.fetch_add(theirs != 0 && theirs != seen);
    }
    if (round % 2 == 0) std::this_thread::yield();
    ledger->holding[index].store(0);
    object.Close();
    // Gaps of different lengths, so the object keeps ending and being made again.
    std::this_thread::sleep_for(std::chrono::microseconds(50 * ((round * 7 + index) % 5)));
  }
  return 0;
}
qortest::ChildRegistration race("race", &RaceChild);

TEST(QORNamedObjectPeer, RacingOpenersAndClosersNeitherSplitNorReviveAnObject) {
  qortest::TempStateRoot root;
  const auto block = QORCreateSharedMemory(L"Ledger", sizeof(Ledger));
  ASSERT_NE(block, nullptr);
  const auto* ledger = static_cast<const Ledger*>(block->Data());
  qortest::ChildProcess racers[kRacers];
  for (int i = 0; i < kRacers; ++i) ASSERT_TRUE(racers[i].Start("race", {std::to_string(i)}));
  for (auto& racer : racers) EXPECT_EQ(racer.Wait(), 0);
  EXPECT_EQ(ledger->faults.load(), 0u);
  // The racers did meet: objects were made anew and joined.
  EXPECT_GT(ledger->creates.load(), 1u);
  EXPECT_GT(ledger->joins.load(), 0u);
  QORNamedObject object;
  EXPECT_EQ(Open(object, Mode::kOpen, L"Race"), "1 0");
}

TEST(QORPipe, ASixthReaderFailsAtOnceADeadReadersInstanceIsReusedAndNoLinkIsFollowed) {
  qortest::TempStateRoot root;
  Peer holders[5];
  for (int i = 0; i < 5; ++i) ASSERT_EQ(holders[i].Do("pipe"), "pipe 0 " + std::to_string(i));
  const auto start = Clock::now();
  Error error = Error::kNone;
  EXPECT_EQ(QORCreatePipeServer(kPipe, kMessageSize, &error), nullptr);
  EXPECT_EQ(error, Error::kBusy);
  EXPECT_LT(Clock::now() - start, std::chrono::seconds(2));
  holders[2].Kill();
  auto server = QORCreatePipeServer(kPipe, kMessageSize, &error);
  ASSERT_NE(server, nullptr);
  EXPECT_EQ(server->GetIndex(), 2u);
  EXPECT_NE(QORConnectPipe(kPipe, 2, kMessageSize), nullptr);
  // A writer never follows a link planted in place of an instance's socket.
  auto decoy = QORCreatePipeServer(L"\\\\.\\pipe\\Decoy", kMessageSize);
  ASSERT_NE(decoy, nullptr);
  const auto folder = std::filesystem::path(root.Path()) / "NamedObjects";
  std::filesystem::remove(folder / "pipe2.QORTestPipe.aux");
  std::filesystem::create_symlink(folder / "pipe0.Decoy.aux", folder / "pipe2.QORTestPipe.aux");
  EXPECT_EQ(QORConnectPipe(kPipe, 2, kMessageSize), nullptr);
  EXPECT_EQ(decoy->Connect(), QORPipeResult::kPending);
}

}  // namespace

// A timed wait on a mutex another thread holds times out after its time on the monotonic clock,
// whatever the wall clock reads: read an hour ahead (a wait on it would last the hour) or behind
// (it would end at once).
TEST(QORNamedMutex, ATimedWaitOnAHeldMutexLastsItsTimeWhateverTheWallClockReads) {
  qortest::TempStateRoot root;
  auto held = QORCreateNamedMutex(L"Global\\ClockMutex", false);
  auto waiter = QOROpenNamedMutex(L"Global\\ClockMutex");
  ASSERT_TRUE(held && waiter);
  std::promise<void> release;
  std::promise<void> taken;
  std::thread holder([&] {
    EXPECT_EQ(held->Wait(0), QORMutexWaitResult::kAcquired);
    taken.set_value();
    release.get_future().wait();
    held->Release();
  });
  taken.get_future().wait();
  constexpr uint32_t kWaitMs = 300;
  std::future<QORMutexWaitResult> stuck;
  for (const long shift : {0L, 3600L, -3600L}) {
    SCOPED_TRACE(shift);
    wallClockShiftSeconds.store(shift);
    const auto start = Clock::now();
    auto wait = std::async(std::launch::async, [&] { return waiter->Wait(kWaitMs); });
    const bool ended = wait.wait_for(std::chrono::seconds(10)) == std::future_status::ready;
    wallClockShiftSeconds.store(0);
    if (!ended) {
      ADD_FAILURE() << "the wait follows the wall clock";
      stuck = std::move(wait);  // the holder lets go below, which ends it
      break;
    }
    EXPECT_EQ(wait.get(), QORMutexWaitResult::kTimeout);
    const auto waited = Clock::now() - start;
    EXPECT_GE(waited, std::chrono::milliseconds(kWaitMs));
    EXPECT_LT(waited, std::chrono::milliseconds(kWaitMs) + std::chrono::seconds(5));
  }
  release.set_value();
  holder.join();
  if (stuck.valid()) return;
  EXPECT_EQ(waiter->Wait(kWaitMs), QORMutexWaitResult::kAcquired);
  EXPECT_TRUE(waiter->Release());
}

#endif  // _WIN32
