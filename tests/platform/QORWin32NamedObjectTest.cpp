// The Win32 backend's named objects, pipes and waits: what only Windows does, and the contract at
// its edges.
#ifdef _WIN32

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "ChildProcess.h"
#include "TempStateRoot.h"
#include "TraceCapture.h"
#include "platform/IQOREvent.h"
#include "platform/IQORNamedMutex.h"
#include "platform/IQORPipeClient.h"
#include "platform/IQORPipeServer.h"
#include "platform/IQORSharedMemory.h"
#include "platform/QOREventHandle.h"
#include "platform/QORWait.h"
#include "platform/win32/QORWin32ObjectName.h"

namespace {

using Error = QORNamedObjectError;

// QOR_ROOT for one scope (null: unset), put back after.
class ScopedRoot {
 public:
  explicit ScopedRoot(const wchar_t* root) {
    wchar_t old[1024];
    const DWORD length = GetEnvironmentVariableW(L"QOR_ROOT", old, 1024);
    if (length > 0 && length < 1024) previous_ = std::wstring(old, length);
    SetEnvironmentVariableW(L"QOR_ROOT", root);
  }
  ~ScopedRoot() { SetEnvironmentVariableW(L"QOR_ROOT", previous_ ? previous_->c_str() : nullptr); }

 private:
  std::optional<std::wstring> previous_;
};

// Refuses Global\ creation for one scope, as for a process without the privilege.
struct RefusedGlobal {
  RefusedGlobal() { QORWin32RefuseGlobalForTesting(true); }
  ~RefusedGlobal() { QORWin32RefuseGlobalForTesting(false); }
};

// The next result of Read that is not kPending, waiting on the instance in between.
QORPipeResult ReadNext(IQORPipeServer& server, char* message, size_t* size) {
  for (int attempt = 0; attempt < 20; ++attempt) {
    const QORPipeResult result = server.Read(message, size);
    if (result != QORPipeResult::kPending) return result;
    QORWaitForSingle(server, 500);
  }
  return QORPipeResult::kPending;
}

bool Exists(const std::wstring& systemName) {
  HANDLE handle = OpenEventW(SYNCHRONIZE, FALSE, systemName.c_str());
  if (handle == nullptr) handle = OpenFileMappingW(FILE_MAP_READ, FALSE, systemName.c_str());
  if (handle != nullptr) CloseHandle(handle);
  return handle != nullptr;
}

// The tag of L"C:\qor-root-probe": FNV-1a 64 of its UTF-16LE bytes, worked out by hand.
constexpr const wchar_t* kProbeRoot = L"C:\\qor-root-probe";
constexpr const wchar_t* kProbeTag = L".898063fdcf93af78";

TEST(QORWin32ObjectName, EveryObjectAndPipeNameCarriesTheStateRootsTagAndRootsNeverMeet) {
  struct Row {
    const wchar_t* root;
    const wchar_t* suffix;
  };
  for (const Row& row : {Row{kProbeRoot, kProbeTag}, Row{L"", L""}, Row{nullptr, L""}}) {
    SCOPED_TRACE(row.root == nullptr ? "unset" : std::to_string(std::wcslen(row.root)));
    ScopedRoot root(row.root);
    auto event = QORCreateNamedEvent(L"Local\\QORTagProbe", true, false);
    auto block = QORCreateSharedMemory(L"QORTagBlock", 4096);
    auto pipe = QORCreatePipeServer(L"\\\\.\\pipe\\QORTagProbe", 16);
    // Named after a registry path: the backslashes Win32 refuses in a name become U+29F5.
    auto lock = QORCreateNamedEvent(L"Global\\QORLock:Software\\APO\\A/B", true, false);
    ASSERT_TRUE(event && block && pipe && lock);
    EXPECT_TRUE(Exists(std::wstring(L"Local\\QORTagProbe") + row.suffix));
    EXPECT_TRUE(Exists(std::wstring(L"QORTagBlock") + row.suffix));
    EXPECT_TRUE(Exists(std::wstring(L"Global\\QORLock:Software\u29F5APO\u29F5A/B") + row.suffix));
    EXPECT_NE(QOROpenNamedEvent(L"GLOBAL\\QORLock:Software\\APO\\A/B"), nullptr);
    HANDLE writer = CreateFileW((std::wstring(L"\\\\.\\pipe\\QORTagProbe") + row.suffix).c_str(),
                                GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    EXPECT_NE(writer, INVALID_HANDLE_VALUE);
    if (writer != INVALID_HANDLE_VALUE) CloseHandle(writer);
    if (row.root == nullptr || *row.root == L'\0') continue;
    ScopedRoot other(L"C:\\qor-root-probf");
    EXPECT_EQ(QOROpenNamedEvent(L"Local\\QORTagProbe"), nullptr);
    EXPECT_EQ(QORConnectPipe(L"\\\\.\\pipe\\QORTagProbe", 0, 16), nullptr);
  }
}

// A waitable whose ConsumeSignal turns the first refusals signals down, as when another waiter
// took the signal.
class Refusing : public IQORWaitable {
 public:
  explicit Refusing(int refusals) : refusals_(refusals) { event_->Set(); }
  QORWaitHandle GetWaitHandle() const override { return event_->GetWaitHandle(); }
  bool ConsumeSignal() override { return refusals_-- <= 0; }

 private:
  std::unique_ptr<IQOREvent> event_ = QORCreateEvent(true, false);
  int refusals_;
};

TEST(QORWin32Wait, LowestSignalledIndexWinsARefusedSignalGivesWayAndDuplicatesOutliveTheOriginal) {
  auto idle = QORCreateEvent(false, false);
  auto manual = QORCreateEvent(true, true);
  auto automatic = QORCreateEvent(false, true);
  IQORWaitable* const all[] = {idle.get(), automatic.get(), manual.get()};
  EXPECT_EQ(QORWaitForMultiple(all, 0), kQORWaitObject0 + 1);
  EXPECT_EQ(QORWaitForMultiple(all, 0), kQORWaitObject0 + 2);  // the wait took the auto signal
  EXPECT_EQ(QORWaitForMultiple(all, 0), kQORWaitObject0 + 2);  // a manual one stays
  manual->Reset();
  EXPECT_EQ(QORWaitForMultiple(all, 0), kQORWaitTimeout);
  EXPECT_EQ(QORWaitForMultiple({}, 0), kQORWaitFailed);
  IQORWaitable* const withNull[] = {idle.get(), nullptr};
  EXPECT_EQ(QORWaitForMultiple(withNull, 0), kQORWaitFailed);

  Refusing once(1);
  Refusing always(1 << 30);
  manual->Set();
  IQORWaitable* const refusedFirst[] = {&once, manual.get()};
  EXPECT_EQ(QORWaitForMultiple(refusedFirst, 0), kQORWaitObject0 + 1);
  EXPECT_EQ(QORWaitForMultiple(refusedFirst, 0), kQORWaitObject0);
  EXPECT_EQ(QORWaitForSingle(always, 30), kQORWaitTimeout);

  // A HANDLE names a live event of this process only, and is never dereferenced otherwise.
  std::unique_ptr<IQOREvent> copy;
  ASSERT_EQ(QORDuplicateEvent(QOREventHandle(manual.get()), &copy), ERROR_SUCCESS);
  HANDLE gone = QOREventHandle(manual.get());
  manual.reset();
  copy->Reset();
  EXPECT_EQ(QORWaitForSingle(*copy, 0), kQORWaitTimeout);
  copy->Set();
  EXPECT_EQ(QORWaitForSingle(*copy, 0), kQORWaitObject0);
  int notAnEvent = 0;
  std::unique_ptr<IQOREvent> none = QORCreateEvent(true, false);
  for (HANDLE handle : {gone, static_cast<HANDLE>(&notAnEvent), HANDLE{}}) {
    EXPECT_EQ(QORDuplicateEvent(handle, &none), static_cast<uint32_t>(ERROR_INVALID_HANDLE));
    EXPECT_EQ(none, nullptr);
  }
}

int MutexHolderChild(const std::vector<std::string>& args) {
  auto mutex = QORCreateNamedMutex(std::wstring(args.at(0).begin(), args.at(0).end()), false);
  if (!mutex || mutex->Wait(5000) != QORMutexWaitResult::kAcquired) return 3;
  qortest::ChildSay("held");
  std::string line;
  qortest::ChildHear(line);
  return 0;
}
qortest::ChildRegistration mutexHolder("win32-mutex-holder", &MutexHolderChild);

TEST(QORWin32NamedMutex, AHolderThatDiesLeavesItAbandonedToTheNextOwnerWhoHoldsItRecursively) {
  qortest::TempStateRoot root;
  const std::wstring name = L"Global\\QORAbandonTest";
  auto mutex = QORCreateNamedMutex(name, false);
  ASSERT_NE(mutex, nullptr);
  qortest::ChildProcess holder;
  ASSERT_TRUE(holder.Start("win32-mutex-holder", {"Global\\QORAbandonTest"}));
  ASSERT_TRUE(holder.WaitFor("held"));
  EXPECT_EQ(mutex->Wait(0), QORMutexWaitResult::kTimeout);
  ASSERT_TRUE(holder.Kill(SIGKILL));
  EXPECT_EQ(holder.Wait(), 128 + SIGKILL);
  EXPECT_EQ(mutex->Wait(5000), QORMutexWaitResult::kAbandoned);
  EXPECT_EQ(mutex->Wait(0), QORMutexWaitResult::kAcquired);
  // Neither another thread nor an existing mutex's initial owner gets it meanwhile.
  bool existed = false;
  auto again = QORCreateNamedMutex(name, true, &existed);
  ASSERT_NE(again, nullptr);
  EXPECT_TRUE(existed);
  QORMutexWaitResult other = QORMutexWaitResult::kFailed;
  bool otherReleased = true;
  std::thread([&] {
    other = again->Wait(0);
    otherReleased = again->Release();
  }).join();
  EXPECT_EQ(other, QORMutexWaitResult::kTimeout);
  EXPECT_FALSE(otherReleased);
  EXPECT_TRUE(mutex->Release());
  EXPECT_TRUE(mutex->Release());
  EXPECT_FALSE(mutex->Release());
  std::thread([&] { other = again->Wait(0); }).join();
  // That thread ended owning it: abandoned again, to this thread.
  EXPECT_EQ(other, QORMutexWaitResult::kAcquired);
  EXPECT_EQ(mutex->Wait(0), QORMutexWaitResult::kAbandoned);
  EXPECT_TRUE(mutex->Release());
}

// The system keeps a mutex owned by its thread past the handle's end; the backend gives back what
// was taken through the handle, an initial ownership included, as the POSIX one does.
TEST(QORWin32NamedMutex, ClosingAHandleGivesBackWhatItsThreadTookThroughIt) {
  qortest::TempStateRoot root;
  for (bool initialOwner : {true, false}) {
    SCOPED_TRACE(initialOwner);
    auto owned = QORCreateNamedMutex(L"Global\\QORGivenBack", initialOwner);
    auto other = QOROpenNamedMutex(L"Global\\QORGivenBack");
    ASSERT_TRUE(owned && other);
    if (!initialOwner) {
      ASSERT_EQ(owned->Wait(0), QORMutexWaitResult::kAcquired);
    }
    ASSERT_EQ(owned->Wait(0), QORMutexWaitResult::kAcquired);
    auto tryOther = [&] {
      QORMutexWaitResult result = QORMutexWaitResult::kFailed;
      std::thread([&] {
        result = other->Wait(0);
        if (result == QORMutexWaitResult::kAcquired) other->Release();
      }).join();
      return result;
    };
    EXPECT_EQ(tryOther(), QORMutexWaitResult::kTimeout);
    owned.reset();
    EXPECT_EQ(tryOther(), QORMutexWaitResult::kAcquired);
  }
}

TEST(QORWin32SharedMemory, AnExistingBlockOpensOnlyWhenItsPagesHoldWhatIsAsked) {
  qortest::TempStateRoot root;
  struct Row {
    size_t created;
    size_t asked;
    bool opens;
  };
  const Row rows[] = {{4096, 4096, true},
                      {4096, 4097, false},
                      {8192, 4097, true},
                      {8192, 16384, false},
                      {4096, 0, false}};
  for (const Row& row : rows) {
    SCOPED_TRACE(std::to_string(row.created) + " " + std::to_string(row.asked));
    bool existed = true;
    auto block = QORCreateSharedMemory(L"Global\\QORSizes", row.created, &existed);
    ASSERT_NE(block, nullptr);
    EXPECT_FALSE(existed);
    auto* bytes = static_cast<unsigned char*>(block->Data());
    EXPECT_EQ(bytes[0] | bytes[row.created - 1], 0);  // zero-filled by the system
    bytes[0] = 0x5A;
    Error error = Error::kNone;
    auto opened = QOROpenSharedMemory(L"Global\\QORSizes", row.asked, &error);
    auto created = QORCreateSharedMemory(L"Global\\QORSizes", row.asked, &existed);
    EXPECT_EQ(opened != nullptr, row.opens);
    EXPECT_EQ(created != nullptr, row.opens);
    EXPECT_EQ(error, row.opens ? Error::kNone : Error::kFailed);
    if (!row.opens) continue;
    EXPECT_TRUE(existed);
    EXPECT_EQ(opened->Size(), row.asked);
    EXPECT_EQ(static_cast<unsigned char*>(opened->Data())[0], 0x5A);
    EXPECT_EQ(static_cast<unsigned char*>(created->Data())[0], 0x5A);
    EXPECT_FALSE(opened->IsLost());
  }
  Error error = Error::kNone;
  EXPECT_EQ(QOROpenSharedMemory(L"Global\\QORSizes", 4096, &error), nullptr);
  EXPECT_EQ(error, Error::kNotFound);
}

TEST(QORWin32NamedObject, AnObjectOfAnotherTypeAtTheNameIsInTheWayAndSaidWhere) {
  qortest::TempStateRoot root;
  auto event = QORCreateNamedEvent(L"Global\\QORInTheWay", true, false);
  auto mutex = QORCreateNamedMutex(L"Global\\QORAMutex", false);
  ASSERT_TRUE(event && mutex);
  const std::wstring tag = QORWin32ObjectName::RootTag();
  const std::string where = "Global\\QORInTheWay." + std::string(tag.begin(), tag.end());
  std::string what;
  std::string path;
  EXPECT_TRUE(QORNamedMutexInTheWay(L"Global\\QORInTheWay", &what, &path));
  EXPECT_EQ(what, "an object of another type");
  EXPECT_EQ(path, where);
  path.clear();
  EXPECT_TRUE(QORSharedMemoryInTheWay(L"Global\\QORInTheWay", &what, &path));
  EXPECT_EQ(path, where);
  EXPECT_FALSE(QORNamedMutexInTheWay(L"Global\\QORAMutex", &what, &path));
  EXPECT_FALSE(QORNamedMutexInTheWay(L"Global\\QORNothing", &what, &path));
  EXPECT_TRUE(QORSharedMemoryInTheWay(L"Global\\QORAMutex", &what, &path));
  Error mutexError = Error::kNone;
  Error blockError = Error::kNone;
  EXPECT_EQ(QOROpenNamedMutex(L"Global\\QORInTheWay", &mutexError), nullptr);
  EXPECT_EQ(QOROpenSharedMemory(L"Global\\QORInTheWay", 16, &blockError), nullptr);
  EXPECT_EQ(mutexError, Error::kInTheWay);
  EXPECT_EQ(blockError, Error::kInTheWay);
  EXPECT_EQ(QORCreateNamedMutex(L"Global\\QORInTheWay", false), nullptr);
  EXPECT_EQ(QORCreateSharedMemory(L"Global\\QORInTheWay", 16), nullptr);
}

TEST(QORWin32ObjectName, ARefusedGlobalNameOpensAnExistingObjectElseFallsBackToTheSession) {
  qortest::TempStateRoot root;
  const std::wstring tag = QORWin32ObjectName::RootTag();
  // Made under Global\ before the refusal: later creators open it rather than shadow it.
  auto first = QORCreateSharedMemory(L"Global\\QORShadow", 4096);
  auto firstMutex = QORCreateNamedMutex(L"Global\\QORShadowMutex", false);
  ASSERT_TRUE(first && firstMutex);
  static_cast<char*>(first->Data())[7] = 'g';
  qortest::TraceCapture trace;
  RefusedGlobal refused;
  bool existed = false;
  auto second = QORCreateSharedMemory(L"Global\\QORShadow", 4096, &existed);
  ASSERT_NE(second, nullptr);
  EXPECT_TRUE(existed);
  EXPECT_EQ(static_cast<char*>(second->Data())[7], 'g');
  existed = false;
  EXPECT_NE(QORCreateNamedMutex(L"Global\\QORShadowMutex", true, &existed), nullptr);
  EXPECT_TRUE(existed);
  EXPECT_FALSE(Exists(L"Local\\QORShadow." + tag));

  // Nobody made it: the session's name holds it, for creators and openers alike.
  auto created = QORCreateSharedMemory(L"Global\\QORFallback", 4096, &existed);
  ASSERT_NE(created, nullptr);
  EXPECT_FALSE(existed);
  std::memcpy(created->Data(), "local", 6);
  auto opened = QOROpenSharedMemory(L"Global\\QORFallback", 4096);
  auto again = QORCreateSharedMemory(L"Global\\QORFallback", 4096, &existed);
  ASSERT_TRUE(opened && again);
  EXPECT_TRUE(existed);
  EXPECT_STREQ(static_cast<char*>(opened->Data()), "local");
  EXPECT_STREQ(static_cast<char*>(again->Data()), "local");
  EXPECT_TRUE(Exists(L"Local\\QORFallback." + tag));
  EXPECT_FALSE(Exists(L"Global\\QORFallback." + tag));
  EXPECT_EQ(trace.LinesContaining("QORFallback").size(), 1u);
}

// Holds an instance of the pipe in args[0] and says "<error> <index>"; -1 for no instance.
int PipeHolderChild(const std::vector<std::string>& args) {
  Error error = Error::kNone;
  auto pipe = QORCreatePipeServer(std::wstring(args.at(0).begin(), args.at(0).end()), 16, &error);
  qortest::ChildSay(std::to_string(static_cast<int>(error)) + " " +
                    std::to_string(pipe ? static_cast<int>(pipe->GetIndex()) : -1));
  std::string line;
  qortest::ChildHear(line);
  return 0;
}
qortest::ChildRegistration pipeHolder("win32-pipe-holder", &PipeHolderChild);

TEST(QORWin32Pipe, ASixthReaderIsRefusedAtOnceAndADeadReadersIndexIsTakenAgain) {
  qortest::TempStateRoot root;
  const std::string name = "\\\\.\\pipe\\QORSixth";
  qortest::ChildProcess holders[5];
  std::string line;
  for (int i = 0; i < 5; ++i) {
    ASSERT_TRUE(holders[i].Start("win32-pipe-holder", {name}) && holders[i].ReadLine(line));
    EXPECT_EQ(line, "0 " + std::to_string(i));
  }
  Error error = Error::kNone;
  EXPECT_EQ(QORCreatePipeServer(std::wstring(name.begin(), name.end()), 16, &error), nullptr);
  EXPECT_EQ(error, Error::kBusy);
  ASSERT_TRUE(holders[2].Kill(SIGKILL));
  holders[2].Wait();
  auto server = QORCreatePipeServer(std::wstring(name.begin(), name.end()), 16, &error);
  ASSERT_NE(server, nullptr);
  EXPECT_EQ(error, Error::kNone);
  EXPECT_EQ(server->GetIndex(), 2u);
}

TEST(QORWin32Pipe, AWriterReachesTheFreeInstanceAndWholeMessagesComeOutOneByOne) {
  qortest::TempStateRoot root;
  const std::wstring name = L"\\\\.\\pipe\\QORFlow";
  Error error = Error::kNone;
  EXPECT_EQ(QORCreatePipeServer(name, 0, &error), nullptr);
  EXPECT_EQ(error, Error::kFailed);
  auto server = QORCreatePipeServer(name, 16);
  ASSERT_NE(server, nullptr);
  EXPECT_EQ(server->Connect(), QORPipeResult::kPending);
  EXPECT_EQ(QORWaitForSingle(*server, 0), kQORWaitTimeout);
  EXPECT_EQ(QORConnectPipe(name, kQORPipeMaxInstances, 16), nullptr);
  auto writer = QORConnectPipe(name, 3, 16);
  ASSERT_NE(writer, nullptr);
  EXPECT_EQ(QORConnectPipe(name, 0, 16), nullptr);  // its only instance is taken
  ASSERT_EQ(QORWaitForSingle(*server, 5000), kQORWaitObject0);
  EXPECT_EQ(server->Connect(), QORPipeResult::kDone);
  EXPECT_TRUE(server->IsConnected());
  char message[16];
  size_t size = 99;
  EXPECT_EQ(server->Read(message, &size), QORPipeResult::kPending);
  EXPECT_EQ(size, 0u);
  ASSERT_TRUE(writer->Write("first message...", 1000));
  ASSERT_TRUE(writer->Write("second message..", 1000));
  for (const char* expected : {"first message...", "second message.."}) {
    ASSERT_EQ(ReadNext(*server, message, &size), QORPipeResult::kDone);
    EXPECT_EQ(std::string(message, size), expected);
  }
  EXPECT_EQ(server->Read(message, &size), QORPipeResult::kPending);

  // A writer that leaves halfway: its bytes come with kClosed, and the instance listens again.
  writer.reset();
  HANDLE raw = CreateFileW(QORWin32ObjectName::ForPipe(name).c_str(), GENERIC_WRITE, 0, nullptr,
                           OPEN_EXISTING, 0, nullptr);
  EXPECT_EQ(raw, INVALID_HANDLE_VALUE);  // still connected to the first writer's end
  ASSERT_EQ(ReadNext(*server, message, &size), QORPipeResult::kClosed);
  EXPECT_EQ(size, 0u);
  EXPECT_FALSE(server->IsConnected());
  raw = CreateFileW(QORWin32ObjectName::ForPipe(name).c_str(), GENERIC_WRITE, 0, nullptr,
                    OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(raw, INVALID_HANDLE_VALUE);
  DWORD written = 0;
  ASSERT_TRUE(WriteFile(raw, "half!", 5, &written, nullptr));
  CloseHandle(raw);
  ASSERT_EQ(QORWaitForSingle(*server, 5000), kQORWaitObject0);
  ASSERT_EQ(server->Connect(), QORPipeResult::kDone);
  ASSERT_EQ(ReadNext(*server, message, &size), QORPipeResult::kClosed);
  EXPECT_EQ(std::string(message, size), "half!");

  // A writer the reader drops finds its connection broken.
  writer = QORConnectPipe(name, 0, 16);
  ASSERT_NE(writer, nullptr);
  ASSERT_EQ(QORWaitForSingle(*server, 5000), kQORWaitObject0);
  ASSERT_EQ(server->Connect(), QORPipeResult::kDone);
  server->Disconnect();
  EXPECT_FALSE(writer->Write("after the drop..", 1000));
  EXPECT_FALSE(writer->Write("after the drop..", 1000));
}

}  // namespace

#endif  // _WIN32
