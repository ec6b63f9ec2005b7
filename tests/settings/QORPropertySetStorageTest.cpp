#include "settings/QORPropertySetSharedMem.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <future>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "ChildProcess.h"
#include "TempStateRoot.h"
#include "ThreadEnd.h"
#include "common/QORTextConvert.h"
#include "platform/IQORNamedMutex.h"
#include "platform/IQORSharedMemory.h"
#include "platform/QORRegistryKey.h"
#ifndef _WIN32
#include "platform/posix/QORNamedObject.h"
#endif
#include "settings/QORPropertySetRegistry.h"
#include "settings/QORPropertySetThreadsafe.h"
#include "settings/QORSharedMemory.h"

namespace {

using Shm = QORPropertySetSharedMem;
using Bytes = std::vector<uint8_t>;

// The keys of a set, in order, each followed by ';'.
std::wstring Keys(QORPropertySet& set) {
  PropertyList all;
  set.GetAllProperties(all);
  std::wstring keys;
  for (const PropertyEntry& entry : all) keys += entry.key + L";";
  return keys;
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

const Bytes kLongA7 = Raw(2, 1, 4, {0x41, 0, 0, 7, 0, 0, 0});  // long A = 7, 19 bytes

// Records: key, type and value lengths, UTF-16LE key bytes, the type byte, the value bytes.
TEST(QORPropertySetBinary, WritesEveryTypeByteExact) {
  const std::tuple<const wchar_t*, boost::any, Bytes> cases[] = {
      {L"L", 2147483647L, Raw(2, 1, 4, {'L', 0, 0, 0xFF, 0xFF, 0xFF, 0x7F})},
      {L"I", static_cast<int>(0x01020304), Raw(2, 1, 4, {'I', 0, 1, 0x04, 0x03, 0x02, 0x01})},
      {L"S", static_cast<short>(-2), Raw(2, 1, 2, {'S', 0, 2, 0xFE, 0xFF})},
      {L"F", 1.0f, Raw(2, 1, 4, {'F', 0, 3, 0x00, 0x00, 0x80, 0x3F})},
      {L"D", -2.0, Raw(2, 1, 8, {'D', 0, 4, 0, 0, 0, 0, 0, 0, 0x00, 0xC0})},
      {L"B", true, Raw(2, 1, 1, {'B', 0, 5, 0x01})},
      {L"\u00E9", std::string("hi"), Raw(2, 1, 2, {0xE9, 0x00, 6, 'h', 'i'})},
      {L"\U0001F3B5", std::wstring(L"\u00E9\U0001F3B5"),
       Raw(4, 1, 6, {0x3C, 0xD8, 0xB5, 0xDF, 7, 0xE9, 0x00, 0x3C, 0xD8, 0xB5, 0xDF})},
      {L"C", std::vector<char>{0, 'x'}, Raw(2, 1, 2, {'C', 0, 8, 0x00, 'x'})},
      {L"U", std::vector<unsigned char>{0xFF}, Raw(2, 1, 1, {'U', 0, 9, 0xFF})},
  };
  QORPropertySet set;
  Bytes expected;
  for (const auto& [key, value, record] : cases) {
    set.SetProperty(key, value);
    expected = Cat({expected, record});
  }
  Bytes out = {0xEE};
  ASSERT_TRUE(set.GetAllPropertiesBinary(out));
  EXPECT_EQ(out, expected);
}

// Counts deliveries; the first call says which thread it is on, and each waits for the gate.
struct GatedListener : IQORPropertySetNotify {
  void OnPropertyChanged(QORPropertySet&, const PropertyEntry&) override {
    if (++calls == 1) entered.set_value(qortest::CurrentThreadId());
    gate.wait();
    ++returned;  // last: reading it orders every use of the listener by this thread
  }
  bool OnPropertyChanging(QORPropertySet&, const PropertyEntry&) override { return false; }
  std::atomic<int> calls{0}, returned{0};
  std::promise<qortest::ThreadId> entered;
  std::promise<void> open;
  std::shared_future<void> gate = open.get_future().share();
};

TEST(QORPropertySetRegistry, AbandonedWatchThreadKeepsWhatItStillUses) {
  qortest::TempStateRoot root;
  QORRegistryKey key;
  QORRegistryKey::Create(QORRegistryHive::kLocalMachine, L"Software\\QOR Labs\\APO\\Test",
                         KEY_ALL_ACCESS, key);
  auto set = std::make_shared<QORPropertySetThreadsafe>();
  set->SetProperty(L"A", 0L);
  set->SetProperty(L"B", 0L);
  GatedListener listener;
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
  std::future<qortest::ThreadId> entered = listener.entered.get_future();
  ASSERT_EQ(entered.wait_for(std::chrono::seconds(5)), std::future_status::ready);
  const qortest::ThreadId watchThread = entered.get();
  set.reset();
  const auto start = std::chrono::steady_clock::now();
  registry.reset();  // abandons the thread after 100 ms
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(3));
  listener.open.set_value();
  ASSERT_TRUE(qortest::WaitForThreadEnd(watchThread, 5000));
  EXPECT_EQ(listener.returned, 2);  // the merge ran to its end on the set the thread held
}

// Whether a thread of this process gets the block's mutex at once (ours is recursive for the
// thread that holds it, so the question is asked from another one).
bool MutexIsFree(const std::wstring& name) {
  bool free = false;
  std::thread([&] {
    auto mutex = QOROpenNamedMutex(name + Shm::kMutexSuffix);
    free = mutex && mutex->Wait(0) == QORMutexWaitResult::kAcquired && mutex->Release();
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

  qortest::TempStateRoot root_;
  QORPropertySet set_;
  Shm block_;
};

TEST_F(QORPropertySetSharedMemTest, DefaultSizeHoldsExactly65532BytesOfSet) {
  ASSERT_TRUE(block_.Open(kName, 0));
  EXPECT_EQ(QOROpenSharedMemory(kName, 65537), nullptr);

  // One record: 12 + 2 (key A) + 1 + 65517 = 65532 bytes.
  set_.SetProperty(L"A", std::string(65517, 'x'));
  ASSERT_EQ(block_.Save(), Shm::kOk);
  auto raw = QOROpenSharedMemory(kName, 65536);  // the default size
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

// Another process cuts the block short (a truncated file), before a load or in the middle of
// the set: Load and Save answer kLost, leave the set as it was, and the probe tells why the name
// no longer opens. A Windows section cannot be cut short while it is mapped.
#ifndef _WIN32
TEST_F(QORPropertySetSharedMemTest, ABlockCutShortIsLostNotFatal) {
  const std::string file = std::string(std::getenv("QOR_ROOT")) + "/NamedObjects/" +
                           QORNamedObject::FileNameFor("shm", kName);
  for (const off_t keep : {off_t{0}, off_t{64 + 4096}}) {
    SCOPED_TRACE(keep);
    Shm block;
    QORPropertySet set;
    block.AttachPropertySet(&set);
    ASSERT_TRUE(block.Open(kName, 0));
    set.SetProperty(L"A", std::string(20000, 'x'));  // reaches past the first page
    ASSERT_EQ(block.Save(), Shm::kOk);
    ASSERT_EQ(0, ::truncate(file.c_str(), keep));
    set.ClearProperties();
    EXPECT_EQ(block.Load(false, false, false), Shm::kLost);
    PropertyList left;
    set.GetAllProperties(left);
    EXPECT_TRUE(left.empty());
    EXPECT_TRUE(block.IsLost());
    set.SetProperty(L"B", std::string("y"));
    EXPECT_EQ(block.Save(), Shm::kLost);
    EXPECT_EQ(ProbeSharedMemory(kName), QORNamedObjectError::kTruncated);
    EXPECT_FALSE(SharedMemoryExists(kName));
  }
}
#endif

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
      {"first record with K = 0", Cat({Le32(17), Raw(0, 1, 4, {0, 7, 0, 0, 0})}), Shm::kRejected,
       L""},
      {"second record with K = 0", Cat({Le32(33), kLongA7, Raw(0, 1, 1, {0, 1})}), Shm::kRejected,
       L"A;"},
      {"L = 0: no change", Le32(0), Shm::kOk, L"Mine;"},
      {"one record", Cat({Le32(19), kLongA7}), Shm::kOk, L"A;"},
  };
  for (const auto& c : cases) {
    set_.ClearProperties();
    set_.SetProperty(L"Mine", 5L);
    Poke(c.bytes);
    EXPECT_EQ(block_.Load(true, true, true), c.result) << c.what;
    EXPECT_TRUE(c.result != Shm::kRejected || Keys(set_) == L"Mine;") << c.what;
    EXPECT_EQ(block_.Load(false, false, false), c.result) << c.what;
    EXPECT_EQ(Keys(set_), c.loaded) << c.what;
    EXPECT_EQ(Text(L"A"), Keys(set_) == L"A;" ? "7" : "") << c.what;
    EXPECT_TRUE(MutexIsFree(kName)) << c.what;
  }
}

// An existing block opens with its own size or smaller; Load and Save find no view unopened or
// after Close, and leave the mutex free.
TEST_F(QORPropertySetSharedMemTest, ExistingBlockOpensOnlyWithASizeNoLargerThanItsOwn) {
  EXPECT_FALSE(block_.Open(kName, 3));  // no room for the length
  EXPECT_FALSE(SharedMemoryExists(kName));
  EXPECT_EQ(block_.Load(false, false, false), Shm::kNoView);
  EXPECT_EQ(block_.Save(), Shm::kNoView);
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
  EXPECT_EQ(Keys(smallSet), L"Mine;");
  EXPECT_TRUE(block_.Close());  // the smaller window keeps the block and the mutex alive
  EXPECT_EQ(block_.Load(false, false, false), Shm::kNoView);
  EXPECT_EQ(block_.Save(), Shm::kNoView);
  EXPECT_TRUE(MutexIsFree(kName));
  EXPECT_EQ(Keys(set_), L"A;");
}

// The existence probe creates nothing; a frozen holder times Load and Save out; a killed one,
// even in the middle of a write, leaves a block that loads or is rejected, and saves again.
TEST_F(QORPropertySetSharedMemTest, HoldersFrozenOrKilled) {
  QORSharedMemory probe;
  EXPECT_FALSE(SharedMemoryExists(kName));
  EXPECT_FALSE(probe.Create(kName, 16, true));
  EXPECT_EQ(QOROpenSharedMemory(kName, 1), nullptr);
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
  EXPECT_EQ(block_.Load(false, false, false), Shm::kRejected);
  EXPECT_EQ(Keys(set_), L"");
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
