// The POSIX backend's guard of shared mappings cut short, which Windows cannot do.
#ifndef _WIN32

#include "platform/posix/QORSharedMappingGuard.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/mman.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "ChildProcess.h"
#include "TempStateRoot.h"
#include "platform/IQORNamedMutex.h"
#include "platform/IQORSharedMemory.h"
#include "platform/posix/QORNamedObject.h"

namespace {

constexpr size_t kPage = 4096;

// The file behind a named object of the current state root.
std::string ObjectFile(const char* kind, const std::wstring& name) {
  return std::string(std::getenv("QOR_ROOT")) + "/NamedObjects/" +
         QORNamedObject::FileNameFor(kind, name);
}

bool CutShort(const std::string& path, off_t size) {
  return ::truncate(path.c_str(), size) == 0;
}

std::atomic<int> ownHandlerCalls{0};
volatile char* ownHandlerPage = nullptr;

// A handler installed before the guard: it counts, and repairs the page it was meant for.
void OwnHandler(int, siginfo_t*, void*) {
  ownHandlerCalls.fetch_add(1);
  ::mmap(const_cast<char*>(ownHandlerPage), kPage, PROT_READ | PROT_WRITE,
         MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED, -1, 0);
}

// Runs with the SIGBUS disposition args[0] ("own" or "default") in place before the guard, then
// touches a watched block cut short, then an unwatched page cut short (args[1] "fault"), or takes
// a SIGBUS sent by kill (args[1] "sent"). Says how far it got.
int ChainChild(const std::vector<std::string>& args) {
  char path[] = "/tmp/qor-unwatched-XXXXXX";
  const int fd = ::mkstemp(path);
  if (fd < 0 || ::ftruncate(fd, kPage) != 0) return 3;
  void* page = ::mmap(nullptr, kPage, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  ::unlink(path);
  if (page == MAP_FAILED) return 3;
  ownHandlerPage = static_cast<volatile char*>(page);
  struct sigaction action {};
  sigemptyset(&action.sa_mask);
  if (args.at(0) == "own") {
    action.sa_sigaction = OwnHandler;
    action.sa_flags = SA_SIGINFO;
  } else {
    action.sa_handler = SIG_DFL;
  }
  sigaction(SIGBUS, &action, nullptr);

  auto block = QORCreateSharedMemory(L"ChainBlock", kPage);
  if (!block || !CutShort(ObjectFile("shm", L"ChainBlock"), 0)) return 4;
  static_cast<volatile char*>(block->Data())[100] = 1;
  qortest::ChildSay(std::string("watched ") + (block->IsLost() ? "lost" : "kept") + " " +
                    std::to_string(ownHandlerCalls.load()));
  if (args.at(1) == "sent") {
    ::kill(::getpid(), SIGBUS);
  } else {
    if (::ftruncate(fd, 0) != 0) return 5;
    ownHandlerPage[10] = 1;
  }
  qortest::ChildSay("unwatched " + std::to_string(ownHandlerCalls.load()));
  return 0;
}
qortest::ChildRegistration chainChild("guard-chain", &ChainChild);

// A block and a mutex whose files another process cuts short: the holder's next touch finds
// private zeros instead of dying, the objects say they are lost, and the cut block is refused to a
// new opener as cut short (while a block created smaller is refused as such).
TEST(QORSharedMappingGuard, ABlockOrMutexCutShortUnderItsHolderIsLostNotFatal) {
  qortest::TempStateRoot root;
  struct Case {
    const char* what;
    off_t keep;          // bytes of the file left
    size_t touchOffset;  // byte of the data touched
  };
  const Case cases[] = {
      {"to nothing", 0, 0},
      {"to its header, touched in the second page", 64, kPage},
      {"past its first page, touched in the third", 64 + kPage, 2 * kPage + 8},
  };
  for (const Case& cut : cases) {
    SCOPED_TRACE(cut.what);
    const std::wstring name = L"Global\\CutBlock";
    auto block = QORCreateSharedMemory(name, 3 * kPage);
    auto other = QOROpenSharedMemory(name, 3 * kPage);
    ASSERT_TRUE(block && other);
    std::memset(block->Data(), 0x5A, 3 * kPage);
    ASSERT_TRUE(CutShort(ObjectFile("shm", name), cut.keep));
    volatile uint8_t* data = static_cast<volatile uint8_t*>(block->Data());
    data[cut.touchOffset] = 7;
    EXPECT_TRUE(block->IsLost());
    EXPECT_EQ(7, data[cut.touchOffset]);
    EXPECT_EQ(0, data[cut.touchOffset + 1]) << "the whole range is private zeros";
    EXPECT_EQ(0, data[(cut.touchOffset + kPage) % (3 * kPage)]);
    EXPECT_FALSE(other->IsLost()) << "a holder is lost only once it touches the block";
    EXPECT_EQ(0, static_cast<volatile uint8_t*>(other->Data())[3 * kPage - 1]);
    EXPECT_TRUE(other->IsLost());
    QORNamedObjectError error = QORNamedObjectError::kNone;
    EXPECT_EQ(nullptr, QOROpenSharedMemory(name, 1, &error));
    EXPECT_EQ(QORNamedObjectError::kTruncated, error);
    EXPECT_EQ(nullptr, QORCreateSharedMemory(name, 1));
  }
  auto small = QORCreateSharedMemory(L"SmallBlock", 32);
  QORNamedObjectError error = QORNamedObjectError::kNone;
  EXPECT_EQ(nullptr, QOROpenSharedMemory(L"SmallBlock", 33, &error));
  EXPECT_EQ(QORNamedObjectError::kFailed, error);
  EXPECT_NE(nullptr, QOROpenSharedMemory(L"SmallBlock", 32, &error));

  auto mutex = QORCreateNamedMutex(L"Global\\CutMutex", false);
  ASSERT_TRUE(mutex);
  ASSERT_EQ(QORMutexWaitResult::kAcquired, mutex->Wait(0));
  ASSERT_TRUE(mutex->Release());
  ASSERT_TRUE(CutShort(ObjectFile("mutex", L"Global\\CutMutex"), 0));
  EXPECT_EQ(QORMutexWaitResult::kFailed, mutex->Wait(0));
  EXPECT_EQ(QORMutexWaitResult::kFailed, mutex->Wait(100));
  EXPECT_FALSE(mutex->Release());
}

// A SIGBUS that is not about a watched range goes where it went before the guard came: to the
// handler installed before it, or to the default action, which ends the process.
TEST(QORSharedMappingGuard, OtherBusErrorsGoToTheHandlerBeforeIt) {
  qortest::TempStateRoot root;
  struct Case {
    const char* disposition;
    const char* how;
    std::vector<std::string> lines;
    int exitCode;
  };
  const Case cases[] = {
      {"own", "fault", {"watched lost 0", "unwatched 1"}, 0},
      {"default", "fault", {"watched lost 0"}, 128 + SIGBUS},
      {"default", "sent", {"watched lost 0"}, 128 + SIGBUS},
  };
  for (const Case& run : cases) {
    SCOPED_TRACE(std::string(run.disposition) + " " + run.how);
    qortest::ChildProcess child;
    ASSERT_TRUE(child.Start("guard-chain", {run.disposition, run.how}));
    std::vector<std::string> lines;
    std::string line;
    while (child.ReadLine(line)) lines.push_back(line);
    EXPECT_EQ(run.lines, lines);
    EXPECT_EQ(run.exitCode, child.Wait());
  }
}

}  // namespace

#endif  // _WIN32
