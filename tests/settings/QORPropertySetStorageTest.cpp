#include "settings/QORPropertySetSharedMem.h"

#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <condition_variable>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "ChildProcess.h"
#include "TempStateRoot.h"
#include "ThreadEnd.h"
#include "common/QORTextConvert.h"
#include "platform/IQORNamedMutex.h"
#include "platform/IQORSharedMemory.h"
#include "platform/QORRegistryKey.h"
#include "settings/QORPropertySetRegistry.h"
#include "settings/QORPropertySetThreadsafe.h"
#include "settings/QORSharedMemory.h"

namespace {

using Shm = QORPropertySetSharedMem;
using Bytes = std::vector<uint8_t>;

PropertyList Entries(QORPropertySet& set) {
  PropertyList all;
  set.GetAllProperties(all);
  return all;
}
Bytes Cat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes& part : parts) out.insert(out.end(), part.begin(), part.end());
  return out;
}
Bytes Le32(uint32_t v) {
  return {static_cast<uint8_t>(v), static_cast<uint8_t>(v >> 8), static_cast<uint8_t>(v >> 16),
          static_cast<uint8_t>(v >> 24)};
}
// A stored record with explicit length fields, so that tests can also lie about them.
Bytes Raw(uint32_t k, uint32_t t, uint32_t d, const Bytes& body) {
  return Cat({Le32(k), Le32(t), Le32(d), body});
}

const std::wstring kName = L"Global\\QORTestSharedSet";
const std::wstring kOtherName = L"Global\\QORTestOtherSet";

const Bytes kLongA7 = Raw(2, 1, 4, {0x41, 0, 0, 7, 0, 0, 0});  // long A = 7
// Block contents: the length field, then the records.
Bytes Block(const Bytes& records) {
  return Cat({Le32(static_cast<uint32_t>(records.size())), records});
}

// A well-formed record: UTF-16LE key bytes, a type field and value bytes.
Bytes Record(const Bytes& key, const Bytes& type, const Bytes& value) {
  return Raw(static_cast<uint32_t>(key.size()), static_cast<uint32_t>(type.size()),
             static_cast<uint32_t>(value.size()), Cat({key, type, value}));
}

TEST(QORPropertySetBinary, WritesEveryTypeByteExact) {
  QORPropertySet set;
  set.SetProperty(L"L", 2147483647L);
  set.SetProperty(L"N", -2L);
  set.SetProperty(L"I", boost::any(static_cast<int>(0x01020304)));
  set.SetProperty(L"S", boost::any(static_cast<short>(-2)));
  set.SetProperty(L"F", 1.0f);
  set.SetProperty(L"D", -2.0);
  set.SetProperty(L"B", true);
  set.SetProperty(L"\u00E9", "hi");
  set.SetProperty(L"\U0001F3B5", L"\u00E9\U0001F3B5");
  set.SetProperty(L"C", boost::any(std::vector<char>{0, 'x'}));
  set.SetProperty(L"U", boost::any(std::vector<unsigned char>{0xFF}));
  const Bytes expected = Cat({
      Record({'L', 0}, {0}, {0xFF, 0xFF, 0xFF, 0x7F}),
      Record({'N', 0}, {0}, {0xFE, 0xFF, 0xFF, 0xFF}),
      Record({'I', 0}, {1}, {0x04, 0x03, 0x02, 0x01}),
      Record({'S', 0}, {2}, {0xFE, 0xFF}),
      Record({'F', 0}, {3}, {0x00, 0x00, 0x80, 0x3F}),
      Record({'D', 0}, {4}, {0, 0, 0, 0, 0, 0, 0x00, 0xC0}),
      Record({'B', 0}, {5}, {0x01}),
      Record({0xE9, 0x00}, {6}, {'h', 'i'}),
      Record({0x3C, 0xD8, 0xB5, 0xDF}, {7}, {0xE9, 0x00, 0x3C, 0xD8, 0xB5, 0xDF}),
      Record({'C', 0}, {8}, {0x00, 'x'}),
      Record({'U', 0}, {9}, {0xFF}),
  });
  Bytes out = {0xEE};
  ASSERT_TRUE(set.GetAllPropertiesBinary(out));
  EXPECT_EQ(out, expected);
}

// Counts what the watch thread delivers; with a gate, the first call waits until it opens.
class WatchListener : public IQORPropertySetNotify {
 public:
  explicit WatchListener(bool gated) : open_(!gated) {}
  void OnPropertyChanged(QORPropertySet&, const PropertyEntry&) override {
    std::unique_lock<std::mutex> lock(mutex_);
    ++calls_;
    threadId_ = qortest::CurrentThreadId();
    changed_.notify_all();
    changed_.wait(lock, [&] { return open_; });
  }
  bool OnPropertyChanging(QORPropertySet&, const PropertyEntry&) override { return false; }
  bool WaitForCall() {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, std::chrono::seconds(5), [&] { return calls_ >= 1; });
  }
  void Open() {
    std::lock_guard<std::mutex> lock(mutex_);
    open_ = true;
    changed_.notify_all();
  }
  int Calls() {
    std::lock_guard<std::mutex> lock(mutex_);
    return calls_;
  }

  std::mutex mutex_;
  std::condition_variable changed_;
  bool open_;
  int calls_ = 0;
  pid_t threadId_ = 0;
};

TEST(QORPropertySetRegistry, AbandonedWatchThreadKeepsWhatItStillUses) {
  qortest::TempStateRoot root;
  QORRegistryKey key;
  QORRegistryKey::Create(QORRegistryHive::kLocalMachine, L"Software\\QOR Labs\\APO\\Test",
                         KEY_ALL_ACCESS, key);
  auto set = std::make_shared<QORPropertySetThreadsafe>();
  set->SetProperty(L"A", 0L);
  set->SetProperty(L"B", 0L);
  WatchListener listener(true);
  set->AddNotify(&listener);
  auto registry = std::make_unique<QORPropertySetRegistry>();
  ASSERT_TRUE(registry->SetKey(&key));
  registry->AttachPropertySet(set);
  registry->SetStopTimeout(100);
  ASSERT_TRUE(registry->WatchValue(true, L"QorApoGlobal"));
  // Two entries change: the reload blocks in the first call, with the second still to merge.
  ASSERT_EQ(key.SetBinary(L"QorApoGlobal", Cat({Raw(2, 1, 4, {'A', 0, 0, 1, 0, 0, 0}),
                                                Raw(2, 1, 4, {'B', 0, 0, 1, 0, 0, 0})})),
            ERROR_SUCCESS);
  ASSERT_TRUE(listener.WaitForCall());

  const pid_t watchThread = listener.threadId_;
  set.reset();
  const auto start = std::chrono::steady_clock::now();
  registry.reset();  // abandons the thread after 100 ms
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(3));
  listener.Open();
  ASSERT_TRUE(qortest::WaitForThreadEnd(watchThread, 5000));
  EXPECT_EQ(listener.Calls(), 2);  // the merge ran to its end on the set the thread held
}

// Whether a thread of this process gets the block's mutex at once (ours is recursive for the
// thread that holds it, so the question is asked from another one).
bool MutexIsFree(const std::wstring& name) {
  bool free = false;
  std::thread([&] {
    auto mutex = QOROpenNamedMutex(name + Shm::kMutexSuffix);
    if (mutex && mutex->Wait(0) == QORMutexWaitResult::kAcquired) {
      free = true;
      mutex->Release();
    }
  }).join();
  return free;
}

// Saves Gain=-6 through a block of its own, then takes the block's mutex and keeps it. With
// "torn" it first starts a longer write that it never finishes: a length and half a record.
int HolderChild(const std::vector<std::string>& args) {
  const std::wstring name = QORUtf8ToWide(args[0]);
  QORPropertySet set;
  set.SetProperty(L"Gain", "-6");
  Shm block;
  block.AttachPropertySet(&set);
  if (!block.Open(name, 4096) || block.Save() != Shm::kOk) return 1;
  auto mutex = QOROpenNamedMutex(name + Shm::kMutexSuffix);
  if (!mutex || mutex->Wait(kQORInfinite) != QORMutexWaitResult::kAcquired) return 1;
  if (args.size() > 1) {
    // The length of a whole new set, and a first record that would need 12 + 2 + 1 + 100.
    const Bytes half = Cat({Le32(40), Raw(2, 1, 100, {0x41, 0, 6, 0xAA, 0xBB})});
    std::memcpy(block.GetView(), half.data(), half.size());
  }
  qortest::ChildSay("holding");
  std::string line;
  qortest::ChildHear(line);
  return 0;
}
qortest::ChildRegistration holder("shm-holder", &HolderChild);

class QORPropertySetSharedMemTest : public ::testing::Test {
 protected:
  void SetUp() override { block_.AttachPropertySet(&set_); }

  // A foreign writer's bytes at the start of the 4096-byte block, under its mutex.
  void Poke(const Bytes& bytes) {
    auto raw = QOROpenSharedMemory(kName, 4096);
    auto mutex = QOROpenNamedMutex(kName + Shm::kMutexSuffix);
    ASSERT_TRUE(raw && mutex && mutex->Wait(kQORInfinite) == QORMutexWaitResult::kAcquired);
    std::memcpy(raw->Data(), bytes.data(), bytes.size());
    mutex->Release();
  }
  std::string Text(const wchar_t* key) {
    std::string text;
    set_.GetProperty(key, text);
    return text;
  }
  std::wstring Keys() {
    std::wstring keys;
    for (const PropertyEntry& entry : Entries(set_)) keys += entry.key + L";";
    return keys;
  }

  qortest::TempStateRoot root_;
  QORPropertySet set_;
  Shm block_;
};

TEST_F(QORPropertySetSharedMemTest, DefaultSizeHoldsExactly65532BytesOfSet) {
  ASSERT_TRUE(block_.Open(kName, 0));
  EXPECT_NE(QOROpenSharedMemory(kName, 65536), nullptr);
  EXPECT_EQ(QOROpenSharedMemory(kName, 65537), nullptr);

  // One record: 12 + 2 (key A) + 1 + 65517 = 65532 bytes.
  set_.SetProperty(L"A", std::string(65517, 'x'));
  ASSERT_EQ(block_.Save(), Shm::kOk);
  auto raw = QOROpenSharedMemory(kName, 65536);
  ASSERT_NE(raw, nullptr);
  const auto* view = static_cast<const uint8_t*>(raw->Data());
  EXPECT_EQ(Bytes(view, view + 5), Cat({Le32(65532), {0x02}}));  // length, then K
  EXPECT_EQ(view[4 + 15], 'x');                                  // first value byte
  EXPECT_EQ(view[65535], 'x');                                   // last byte of the block
  const Bytes before(view, view + 65536);

  set_.SetProperty(L"A", std::string(65518, 'y'));
  EXPECT_EQ(block_.Save(), Shm::kTooLarge);
  EXPECT_EQ(Bytes(view, view + 65536), before);
  EXPECT_TRUE(MutexIsFree(kName));
  ASSERT_EQ(block_.Load(false, false, false), Shm::kOk);
  EXPECT_EQ(Text(L"A"), std::string(65517, 'x'));
}

// A merge takes nothing from a rejected block; a plain load keeps the records before the fault.
TEST_F(QORPropertySetSharedMemTest, ForeignLengthsAndRecordsAreCheckedBeforeAnythingIsTaken) {
  ASSERT_TRUE(block_.Open(kName, 4096));
  const struct {
    const char* what;
    Bytes bytes;
    uint32_t result;
    const wchar_t* loaded;  // the keys after a plain load
  } cases[] = {
      {"length past the block", Cat({Le32(4093), kLongA7}), Shm::kRejected, L"Mine;"},
      {"length FFFFFFFF", Cat({Le32(0xFFFFFFFF), kLongA7}), Shm::kRejected, L"Mine;"},
      // 4092 = size - 4 is still inside: A=7 followed by zero bytes, which are no record.
      {"length size - 4", Cat({Le32(4092), kLongA7}), Shm::kRejected, L"A;"},
      {"first record with K = 0", Block(Raw(0, 1, 4, {0, 7, 0, 0, 0})), Shm::kRejected, L""},
      {"second record with K = 0", Block(Cat({kLongA7, Raw(0, 1, 1, {0, 1})})), Shm::kRejected,
       L"A;"},
      {"L = 0: no change", Le32(0), Shm::kOk, L"Mine;"},
      {"one record", Block(kLongA7), Shm::kOk, L"A;"},
  };
  for (const auto& c : cases) {
    set_.ClearProperties();
    set_.SetProperty(L"Mine", 5L);
    Poke(c.bytes);
    EXPECT_EQ(block_.Load(true, true, true), c.result) << c.what;
    if (c.result == Shm::kRejected) {
      EXPECT_EQ(Keys(), L"Mine;") << c.what;
    }
    EXPECT_TRUE(MutexIsFree(kName)) << c.what;
    EXPECT_EQ(block_.Load(false, false, false), c.result) << c.what;
    EXPECT_EQ(Keys(), c.loaded) << c.what;
    EXPECT_EQ(Text(L"A"), Keys() == L"A;" ? "7" : "") << c.what;
    EXPECT_TRUE(MutexIsFree(kName)) << c.what;
  }
}

TEST_F(QORPropertySetSharedMemTest, LoadAndSaveAfterCloseFindNoViewAndLeaveTheMutexFree) {
  EXPECT_EQ(block_.Load(false, false, false), Shm::kNoView);  // never opened
  EXPECT_EQ(block_.Save(), Shm::kNoView);
  ASSERT_TRUE(block_.Open(kName, 4096));
  set_.SetProperty(L"Mine", 5L);
  ASSERT_EQ(block_.Save(), Shm::kOk);
  Shm other;  // keeps the block and the mutex alive after our Close
  ASSERT_TRUE(other.Open(kName, 4096));
  EXPECT_TRUE(block_.Close());
  EXPECT_EQ(block_.Load(false, false, false), Shm::kNoView);
  EXPECT_EQ(block_.Save(), Shm::kNoView);
  EXPECT_TRUE(MutexIsFree(kName));
  EXPECT_EQ(Text(L"Mine"), "5");
}

TEST_F(QORPropertySetSharedMemTest, ExistingBlockOpensOnlyWithASizeNoLargerThanItsOwn) {
  EXPECT_FALSE(block_.Open(kName, 3));  // no room for the length
  EXPECT_FALSE(SharedMemoryExists(kName));
  ASSERT_TRUE(block_.Open(kOtherName, 4));
  EXPECT_EQ(block_.Save(), Shm::kOk);  // the empty set
  EXPECT_EQ(block_.Load(false, false, false), Shm::kOk);
  set_.SetProperty(L"A", 1L);
  EXPECT_EQ(block_.Save(), Shm::kTooLarge);

  ASSERT_TRUE(block_.Open(kName, 4096));
  QORPropertySet smallSet;
  Shm larger;
  larger.AttachPropertySet(&smallSet);
  EXPECT_FALSE(larger.Open(kName, 4097));
  Shm smaller;
  smallSet.SetProperty(L"Mine", 5L);
  smaller.AttachPropertySet(&smallSet);
  ASSERT_TRUE(smaller.Open(kName, 1024));
  // A set that fits the large block but not the small window: the small one rejects it unread.
  set_.SetProperty(L"A", std::string(2000, 'x'));
  ASSERT_EQ(block_.Save(), Shm::kOk);
  EXPECT_EQ(smaller.Load(false, false, false), Shm::kRejected);
  EXPECT_EQ(Entries(smallSet).size(), 1u);
  // 12 + 2 + 1 + 1005 = 1020 bytes fit the window; one more does not.
  smallSet.SetProperty(L"A", std::string(1005, 'y'));
  smallSet.SetProperty(L"Mine", "");  // no record
  ASSERT_EQ(smaller.Save(), Shm::kOk);
  ASSERT_EQ(block_.Load(false, false, false), Shm::kOk);
  EXPECT_EQ(Text(L"A"), std::string(1005, 'y'));
  smallSet.SetProperty(L"A", std::string(1006, 'z'));
  EXPECT_EQ(smaller.Save(), Shm::kTooLarge);
}

// The existence probe creates nothing; a frozen holder times Load and Save out; a killed one,
// even in the middle of a write, leaves a block that loads or is rejected, and saves again.
TEST_F(QORPropertySetSharedMemTest, HoldersFrozenOrKilled) {
  QORSharedMemory probe;
  EXPECT_FALSE(SharedMemoryExists(kName));
  EXPECT_FALSE(probe.Create(kName, 16, true));
  EXPECT_EQ(QOROpenSharedMemory(kName, 1), nullptr);
  for (const auto& entry :
       std::filesystem::directory_iterator(std::filesystem::path(root_.Path()) / "NamedObjects")) {
    EXPECT_NE(entry.path().filename().string().rfind("shm.", 0), 0u) << entry.path();
  }
  qortest::ChildProcess child;
  ASSERT_TRUE(child.Start("shm-holder", {QORWideToUtf8(kName)}));
  ASSERT_TRUE(child.WaitFor("holding"));
  EXPECT_TRUE(SharedMemoryExists(kName));
  EXPECT_TRUE(probe.Create(kName, 16, true));
  EXPECT_EQ(probe.GetView(), nullptr);
  // Reopened under the holder's name, the block takes that name's mutex.
  ASSERT_TRUE(block_.Open(kOtherName, 4096));
  ASSERT_TRUE(block_.Close());
  ASSERT_TRUE(block_.Open(kName, 4096));
  ASSERT_TRUE(child.Kill(SIGSTOP));
  set_.SetProperty(L"Mine", 5L);
  for (int i = 0; i < 2; ++i) {
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(i == 0 ? block_.Load(false, false, false) : block_.Save(), Shm::kMutexTimeout);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
  }
  EXPECT_EQ(Text(L"Mine"), "5");
  child.Kill(SIGKILL);
  child.Wait();
  // What the holder saved before it took the mutex is there.
  ASSERT_EQ(block_.Load(false, false, false), Shm::kOk);
  EXPECT_EQ(Text(L"Gain"), "-6");
  EXPECT_TRUE(MutexIsFree(kName));

  qortest::ChildProcess torn;
  ASSERT_TRUE(torn.Start("shm-holder", {QORWideToUtf8(kName), "torn"}));
  ASSERT_TRUE(torn.WaitFor("holding"));
  torn.Kill(SIGKILL);
  torn.Wait();
  set_.SetProperty(L"Mine", 5L);
  EXPECT_EQ(block_.Load(true, true, true), Shm::kRejected);
  EXPECT_EQ(Text(L"Mine"), "5");
  EXPECT_EQ(block_.Load(false, false, false), Shm::kRejected);
  EXPECT_TRUE(Entries(set_).empty());
  set_.SetProperty(L"Mine", 6L);
  ASSERT_EQ(block_.Save(), Shm::kOk);
  set_.ClearProperties();
  ASSERT_EQ(block_.Load(false, false, false), Shm::kOk);
  EXPECT_EQ(Text(L"Mine"), "6");
  EXPECT_TRUE(MutexIsFree(kName));
  ASSERT_TRUE(block_.Close());
  EXPECT_FALSE(SharedMemoryExists(kName));
}

}  // namespace
