#include "settings/QORPropertySetSharedMem.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "ChildProcess.h"
#include "PropertySetRecorder.h"
#include "TempStateRoot.h"
#include "common/QORTextConvert.h"
#include "platform/IQORNamedMutex.h"
#include "platform/IQORSharedMemory.h"
#include "platform/IQORWaitable.h"
#include "platform/posix/QORNamedObject.h"
#include "settings/QORSharedMemory.h"

namespace {

using Shm = QORPropertySetSharedMem;
using Bytes = std::vector<uint8_t>;

const std::wstring kName = L"Global\\QORTestSharedSet";
const std::wstring kOtherName = L"Global\\QORTestOtherSet";

// Little-endian hex of a 32-bit number.
std::string Le32(uint32_t value) {
  char text[9];
  std::snprintf(text, sizeof(text), "%02X%02X%02X%02X", value & 0xFF, (value >> 8) & 0xFF,
                (value >> 16) & 0xFF, value >> 24);
  return text;
}

// A stored record in hex: the three lengths, then key, type and value bytes (hex).
std::string Record(uint32_t keyBytes, uint32_t typeBytes, uint32_t valueBytes,
                   const std::string& bodyHex) {
  return Le32(keyBytes) + Le32(typeBytes) + Le32(valueBytes) + bodyHex;
}

// Block contents in hex: the length field, then the records.
std::string Block(const std::vector<std::string>& records) {
  std::string body;
  for (const std::string& record : records) body += record;
  return Le32(static_cast<uint32_t>(body.size() / 2)) + body;
}

// long A = 7.
const std::string kLongA7 = Record(2, 1, 4,
                                   "4100"
                                   "00"
                                   "07000000");

Bytes Hex(const std::string& text) {
  Bytes bytes;
  for (size_t i = 0; i + 1 < text.size(); i += 2) {
    bytes.push_back(static_cast<uint8_t>(std::stoi(text.substr(i, 2), nullptr, 16)));
  }
  return bytes;
}

uint32_t StoredLength(const std::wstring& name, size_t size) {
  auto raw = QOROpenSharedMemory(name, size);
  if (!raw) return 0xFFFFFFFF;
  uint32_t length = 0;
  std::memcpy(&length, raw->Data(), 4);
  return length;
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

std::filesystem::path NamespaceDir(const qortest::TempStateRoot& root) {
  return std::filesystem::path(root.Path()) / "NamedObjects";
}

// Another process's write, made under the block's mutex: hex bytes at the start of the block.
int PokeChild(const std::vector<std::string>& args) {
  const std::wstring name = QORUtf8ToWide(args[0]);
  auto block = QOROpenSharedMemory(name, std::stoul(args[1]));
  auto mutex = QOROpenNamedMutex(name + Shm::kMutexSuffix);
  if (!block || !mutex || mutex->Wait(kQORInfinite) != QORMutexWaitResult::kAcquired) return 1;
  const Bytes bytes = Hex(args[2]);
  std::memcpy(block->Data(), bytes.data(), bytes.size());
  mutex->Release();
  qortest::ChildSay("written");
  return 0;
}
qortest::ChildRegistration poke("shm-poke", &PokeChild);

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
  if (args.size() > 1 && args[1] == "torn") {
    // The length of the whole new set, 40 bytes, and the start of a first record that would need
    // 12 + 2 + 1 + 100.
    const Bytes half = Hex(Le32(40) + Record(2, 1, 100,
                                             "4100"
                                             "06"
                                             "AABB"));
    std::memcpy(block.GetView(), half.data(), half.size());
  }
  qortest::ChildSay("holding");
  std::string line;
  qortest::ChildHear(line);
  return 0;
}
qortest::ChildRegistration holder("shm-holder", &HolderChild);

// Opens the block and keeps it until told.
int KeeperChild(const std::vector<std::string>& args) {
  Shm block;
  if (!block.Open(QORUtf8ToWide(args[0]), 4096)) return 1;
  qortest::ChildSay("open");
  std::string line;
  qortest::ChildHear(line);
  return 0;
}
qortest::ChildRegistration keeper("shm-keeper", &KeeperChild);

class QORPropertySetSharedMemTest : public ::testing::Test {
 protected:
  void SetUp() override { block_.AttachPropertySet(&set_); }

  // A child writes hex bytes into the block (opened with size) and ends.
  void Poke(const std::string& hex, size_t size = 4096) {
    qortest::ChildProcess child;
    ASSERT_TRUE(child.Start("shm-poke", {QORWideToUtf8(kName), std::to_string(size), hex}));
    ASSERT_TRUE(child.WaitFor("written"));
    ASSERT_EQ(child.Wait(), 0);
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
  EXPECT_EQ(block_.GetName(), kName);
  EXPECT_NE(QOROpenSharedMemory(kName, 65536), nullptr);
  EXPECT_EQ(QOROpenSharedMemory(kName, 65537), nullptr);

  // One record: 12 + 2 (key A) + 1 + 65517 = 65532 bytes.
  set_.SetProperty(L"A", std::string(65517, 'x'));
  ASSERT_EQ(block_.Save(), Shm::kOk);
  auto raw = QOROpenSharedMemory(kName, 65536);
  ASSERT_NE(raw, nullptr);
  const auto* view = static_cast<const uint8_t*>(raw->Data());
  EXPECT_EQ(StoredLength(kName, 65536), 65532u);
  EXPECT_EQ(view[4], 0x02);      // K
  EXPECT_EQ(view[4 + 15], 'x');  // first value byte
  EXPECT_EQ(view[65535], 'x');   // last byte of the block
  const Bytes before(view, view + 65536);

  set_.SetProperty(L"A", std::string(65518, 'y'));
  EXPECT_EQ(block_.Save(), Shm::kTooLarge);
  EXPECT_EQ(Bytes(view, view + 65536), before);
  EXPECT_TRUE(MutexIsFree(kName));

  ASSERT_EQ(block_.Load(false, false, false), Shm::kOk);
  EXPECT_EQ(Text(L"A"), std::string(65517, 'x'));
}

TEST_F(QORPropertySetSharedMemTest, StoredLengthBeyondTheBlockIsRejectedUnread) {
  ASSERT_TRUE(block_.Open(kName, 4096));
  set_.SetProperty(L"Mine", 5L);
  for (uint32_t length : {4093u, 0xFFFFFFFFu}) {
    Poke(Le32(length) + kLongA7);
    EXPECT_EQ(block_.Load(false, false, false), Shm::kRejected) << length;
    EXPECT_EQ(block_.Load(true, true, true), Shm::kRejected) << length;
    EXPECT_EQ(Text(L"Mine"), "5");
    EXPECT_EQ(Entries(set_).size(), 1u);
    EXPECT_TRUE(MutexIsFree(kName));
  }
  // 4092 = size - 4 is still inside: A=7 followed by zero bytes, which are no record.
  Poke(Le32(4092) + kLongA7);
  EXPECT_EQ(block_.Load(true, true, true), Shm::kRejected);
  EXPECT_EQ(Text(L"A"), "");
  EXPECT_EQ(block_.Load(false, false, false), Shm::kRejected);
  EXPECT_EQ(Text(L"A"), "7");
  // The same record alone loads.
  Poke(Block({kLongA7}));
  EXPECT_EQ(block_.Load(false, false, false), Shm::kOk);
  EXPECT_EQ(Text(L"A"), "7");
}

TEST_F(QORPropertySetSharedMemTest, ZeroLengthFromAnotherProcessLoadsAsNoChange) {
  ASSERT_TRUE(block_.Open(kName, 4096));
  set_.SetProperty(L"Saved", 1L);
  ASSERT_EQ(block_.Save(), Shm::kOk);
  Poke("00000000");
  set_.ClearProperties();
  set_.SetProperty(L"Mine", 5L);
  EXPECT_EQ(block_.Load(false, false, false), Shm::kOk);
  EXPECT_EQ(block_.Load(true, true, true), Shm::kOk);
  ASSERT_EQ(Entries(set_).size(), 1u);
  EXPECT_EQ(Text(L"Mine"), "5");
}

TEST_F(QORPropertySetSharedMemTest, MalformedRecordsAreRejectedAndReleaseTheMutex) {
  ASSERT_TRUE(block_.Open(kName, 4096));
  PropertySetRecorder recorder;
  set_.SetProperty(L"Mine", 5L);
  set_.AddNotify(&recorder);
  // First record with K = 0.
  Poke(Block({Record(0, 1, 4,
                     "00"
                     "07000000")}));
  EXPECT_EQ(block_.Load(true, true, true), Shm::kRejected);
  EXPECT_EQ(Text(L"Mine"), "5");
  EXPECT_TRUE(MutexIsFree(kName));
  EXPECT_EQ(block_.Load(false, false, false), Shm::kRejected);
  EXPECT_TRUE(Entries(set_).empty());
  EXPECT_TRUE(MutexIsFree(kName));

  // A good record (long A=7) and then one with K = 0: a merge takes neither, a load keeps the
  // first.
  set_.SetProperty(L"Mine", 5L);
  recorder.calls.clear();
  Poke(
      "22000000"
      "020000000100000004000000"
      "4100"
      "00"
      "07000000"
      "000000000100000001000000"
      "00"
      "01");
  EXPECT_EQ(block_.Load(true, true, true), Shm::kRejected);
  EXPECT_TRUE(recorder.calls.empty());
  EXPECT_EQ(Entries(set_).size(), 1u);
  EXPECT_EQ(block_.Load(false, false, false), Shm::kRejected);
  ASSERT_EQ(Entries(set_).size(), 1u);
  EXPECT_EQ(Entries(set_)[0].key, L"A");
  set_.RemoveNotify(&recorder);
}

TEST_F(QORPropertySetSharedMemTest, MergeGoesThroughTheSetsListeners) {
  ASSERT_TRUE(block_.Open(kName, 4096));
  QORPropertySet other;
  other.SetProperty(L"gain", "-3");
  other.SetProperty(L"New", 2L);
  Shm writer;
  writer.AttachPropertySet(&other);
  ASSERT_TRUE(writer.Open(kName, 4096));
  ASSERT_EQ(writer.Save(), Shm::kOk);

  set_.SetProperty(L"Gain", "0");
  PropertySetRecorder recorder;
  set_.AddNotify(&recorder);
  EXPECT_EQ(block_.Load(true, true, false), Shm::kOk);
  EXPECT_EQ(recorder.calls, (Calls{"changing:Gain", "changed:Gain"}));
  EXPECT_EQ(Text(L"Gain"), "-3");
  EXPECT_EQ(Text(L"New"), "");
  set_.RemoveNotify(&recorder);
}

TEST_F(QORPropertySetSharedMemTest, LoadAndSaveAfterCloseFindNoViewAndLeaveTheMutexFree) {
  EXPECT_EQ(block_.Load(false, false, false), Shm::kNoView);  // never opened
  EXPECT_EQ(block_.Save(), Shm::kNoView);
  ASSERT_TRUE(block_.Open(kName, 4096));
  EXPECT_TRUE(block_.IsOpen());
  set_.SetProperty(L"Mine", 5L);
  ASSERT_EQ(block_.Save(), Shm::kOk);
  // Another holder keeps the block and the mutex alive after our Close.
  Shm other;
  ASSERT_TRUE(other.Open(kName, 4096));
  EXPECT_TRUE(block_.Close());
  EXPECT_FALSE(block_.IsOpen());
  EXPECT_EQ(block_.GetView(), nullptr);
  EXPECT_EQ(block_.Load(false, false, false), Shm::kNoView);
  EXPECT_EQ(block_.Save(), Shm::kNoView);
  EXPECT_TRUE(MutexIsFree(kName));
  EXPECT_EQ(Text(L"Mine"), "5");
  // Reopened, it reads what it had saved.
  ASSERT_TRUE(block_.Open(kName, 4096));
  set_.ClearProperties();
  EXPECT_EQ(block_.Load(false, false, false), Shm::kOk);
  EXPECT_EQ(Text(L"Mine"), "5");
}

TEST_F(QORPropertySetSharedMemTest, ExistsProbeLeavesNothingBehind) {
  EXPECT_FALSE(SharedMemoryExists(kName));
  QORSharedMemory probe;
  EXPECT_FALSE(probe.Create(kName, 16, true));
  EXPECT_EQ(probe.GetView(), nullptr);
  EXPECT_EQ(QOROpenSharedMemory(kName, 1), nullptr);
  for (const auto& entry : std::filesystem::directory_iterator(NamespaceDir(root_))) {
    EXPECT_NE(entry.path().filename().string().rfind("shm.", 0), 0u) << entry.path();
  }

  qortest::ChildProcess child;
  ASSERT_TRUE(child.Start("shm-keeper", {QORWideToUtf8(kName)}));
  ASSERT_TRUE(child.WaitFor("open"));
  EXPECT_TRUE(SharedMemoryExists(kName));
  EXPECT_TRUE(probe.Create(kName, 16, true));
  EXPECT_EQ(probe.GetView(), nullptr);
  child.Kill(SIGKILL);
  child.Wait();
  EXPECT_FALSE(SharedMemoryExists(kName));
}

TEST_F(QORPropertySetSharedMemTest, ExistingBlockOpensOnlyWithASizeNoLargerThanItsOwn) {
  ASSERT_TRUE(block_.Open(kName, 4096));
  QORPropertySet smallSet;
  Shm larger;
  larger.AttachPropertySet(&smallSet);
  EXPECT_FALSE(larger.Open(kName, 4097));
  EXPECT_FALSE(larger.IsOpen());
  EXPECT_EQ(larger.GetName(), L"");

  Shm smaller;
  smallSet.SetProperty(L"Mine", 5L);
  smaller.AttachPropertySet(&smallSet);
  ASSERT_TRUE(smaller.Open(kName, 1024));
  EXPECT_EQ(smaller.GetSize(), 1024u);
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

TEST_F(QORPropertySetSharedMemTest, BlocksTooSmallForTheLengthAreRefused) {
  EXPECT_FALSE(block_.Open(kName, 3));
  EXPECT_FALSE(SharedMemoryExists(kName));
  ASSERT_TRUE(block_.Open(kName, 4));
  EXPECT_EQ(block_.Save(), Shm::kOk);  // the empty set
  EXPECT_EQ(block_.Load(false, false, false), Shm::kOk);
  set_.SetProperty(L"A", 1L);
  EXPECT_EQ(block_.Save(), Shm::kTooLarge);
}

TEST_F(QORPropertySetSharedMemTest, ReopeningUnderAnotherNameTakesThatNamesMutex) {
  ASSERT_TRUE(block_.Open(kOtherName, 4096));
  ASSERT_TRUE(block_.Close());
  ASSERT_TRUE(block_.Open(kName, 4096));
  EXPECT_EQ(block_.GetName(), kName);
  set_.SetProperty(L"A", 1L);
  for (const std::wstring& held : {kOtherName, kName}) {
    Shm other;
    ASSERT_TRUE(other.Open(held, 4096));  // keeps that name's mutex alive
    std::promise<void> taken;
    std::promise<void> done;
    std::thread holder([&] {
      auto mutex = QOROpenNamedMutex(held + Shm::kMutexSuffix);
      const bool got = mutex && mutex->Wait(0) == QORMutexWaitResult::kAcquired;
      taken.set_value();
      done.get_future().wait();
      if (got) mutex->Release();
    });
    taken.get_future().wait();
    const uint32_t expected = held == kName ? Shm::kMutexTimeout : Shm::kOk;
    EXPECT_EQ(block_.Save(), expected);
    done.set_value();
    holder.join();
  }
}

TEST_F(QORPropertySetSharedMemTest, FrozenHolderTimesOutThenItsDeathFreesTheBlock) {
  ASSERT_TRUE(block_.Open(kName, 4096));
  qortest::ChildProcess child;
  ASSERT_TRUE(child.Start("shm-holder", {QORWideToUtf8(kName)}));
  ASSERT_TRUE(child.WaitFor("holding"));
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
}

TEST_F(QORPropertySetSharedMemTest, HolderKilledMidWriteLeavesARejectedBlockThatSavesAgain) {
  ASSERT_TRUE(block_.Open(kName, 4096));
  qortest::ChildProcess child;
  ASSERT_TRUE(child.Start("shm-holder", {QORWideToUtf8(kName), "torn"}));
  ASSERT_TRUE(child.WaitFor("holding"));
  child.Kill(SIGKILL);
  child.Wait();
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
}

TEST_F(QORPropertySetSharedMemTest, BlockAndMutexAreGroupFilesInAGroupDirectory) {
  ASSERT_TRUE(block_.Open(kName, 4096));
  set_.SetProperty(L"A", 1L);
  ASSERT_EQ(block_.Save(), Shm::kOk);
  const std::filesystem::path dir = NamespaceDir(root_);
  struct stat info {};
  ASSERT_EQ(::stat(dir.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 07777, 0770u);
  ASSERT_EQ(::stat(root_.Path().c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & S_IWOTH, 0u);
  const std::string files[] = {QORNamedObject::FileNameFor("shm", kName),
                               QORNamedObject::FileNameFor("mutex", kName + Shm::kMutexSuffix)};
  for (const std::string& file : files) {
    ASSERT_EQ(::lstat((dir / file).c_str(), &info), 0) << file;
    EXPECT_TRUE(S_ISREG(info.st_mode)) << file;
    EXPECT_EQ(info.st_mode & 07777, 0660u) << file;
  }
  for (const auto& entry : std::filesystem::directory_iterator(dir)) {
    ASSERT_EQ(::lstat(entry.path().c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & S_IWOTH, 0u) << entry.path();
  }
}

TEST_F(QORPropertySetSharedMemTest, PlantedLinksAreNotFollowed) {
  const std::filesystem::path dir = NamespaceDir(root_);
  std::filesystem::create_directories(dir);
  ::chmod(dir.c_str(), 0770);
  const std::filesystem::path victim = std::filesystem::path(root_.Path()) / "victim";
  std::ofstream(victim) << "keep";
  std::filesystem::create_symlink(victim, dir / QORNamedObject::FileNameFor("shm", kName));
  EXPECT_FALSE(block_.Open(kName, 4096));
  EXPECT_FALSE(block_.IsOpen());

  std::filesystem::create_symlink(
      victim, dir / QORNamedObject::FileNameFor("mutex", kOtherName + Shm::kMutexSuffix));
  set_.SetProperty(L"A", 1L);
  // The block opens; without the mutex it cannot have, Load and Save fail.
  ASSERT_TRUE(block_.Open(kOtherName, 4096));
  EXPECT_EQ(block_.Save(), Shm::kMutexTimeout);
  EXPECT_EQ(block_.Load(false, false, false), Shm::kMutexTimeout);
  std::ifstream in(victim);
  std::string content((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  EXPECT_EQ(content, "keep");
  EXPECT_EQ(std::filesystem::file_size(victim), 4u);
}

}  // namespace
