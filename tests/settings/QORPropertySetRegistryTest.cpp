#include "settings/QORPropertySetRegistry.h"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <vector>

#include "ChildProcess.h"
#include "PropertySetRecorder.h"
#include "TempStateRoot.h"
#include "ThreadEnd.h"
#include "platform/QORRegistryKey.h"
#include "settings/QORPropertySetThreadsafe.h"

namespace {

constexpr wchar_t kKeyPath[] = L"Software\\QOR Labs\\APO\\{6F1D0C2E-3B4A-4C5D-8E9F-0A1B2C3D4E5F}";
constexpr wchar_t kValueName[] = L"QorApoGlobal";
constexpr size_t kBlobChars = 6000;
using Bytes = QORPropertySet::Bytes;

QORRegistryKey OpenTestKey() {
  QORRegistryKey key;
  QORRegistryKey::Create(QORRegistryHive::kLocalMachine, kKeyPath, KEY_ALL_ACCESS, key);
  return key;
}

Bytes BinaryOf(const PropertyList& entries) {
  QORPropertySet set;
  set.SetAllProperties(entries, false);
  Bytes bytes;
  set.GetAllPropertiesBinary(bytes);
  return bytes;
}

// Entries whose parts all carry the same counter, so that a mixed or cut value shows.
Bytes Generation(long counter) {
  return BinaryOf(
      {{L"Counter", boost::any(counter)},
       {L"Blob", boost::any(std::string(kBlobChars, static_cast<char>('a' + counter % 26)))},
       {L"Check", boost::any(counter)}});
}

int64_t NowUs() {
  return std::chrono::duration_cast<std::chrono::microseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

// Without arguments writes generation N each time the parent says "set N", answering with the
// time just before; with "loop" rewrites ever newer generations for a while and reports the last.
int WriterChild(const std::vector<std::string>& args) {
  QORRegistryKey key = OpenTestKey();
  if (!key.IsOpen()) return 1;
  qortest::ChildSay("ready");
  std::string line;
  if (args.empty()) {
    while (qortest::ChildHear(line) && line.rfind("set ", 0) == 0) {
      const int64_t before = NowUs();
      if (key.SetBinary(kValueName, Generation(std::stol(line.substr(4)))) != ERROR_SUCCESS)
        return 2;
      qortest::ChildSay(std::to_string(before));
    }
    return 0;
  }
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(1200);
  long counter = 1;
  for (; std::chrono::steady_clock::now() < end; ++counter) {
    if (key.SetBinary(kValueName, Generation(counter)) != ERROR_SUCCESS) return 2;
  }
  qortest::ChildSay("last " + std::to_string(counter - 1));
  return 0;
}
qortest::ChildRegistration writer("registry-writer", &WriterChild);

// Collects what the watch thread delivers and lets the test wait.
class WatchListener : public IQORPropertySetNotify {
 public:
  void OnPropertyChanged(QORPropertySet& set, const PropertyEntry& entry) override {
    std::lock_guard<std::mutex> lock(mutex_);
    if (entry.key == L"Blob") {
      const auto& text = boost::any_cast<const std::string&>(entry.value);
      brokenValues_ += text.size() != kBlobChars || text.find_first_not_of(text[0]) != text.npos;
    }
    if (entry.key == L"Counter" && set.GetProperty(L"Counter", lastCounter_))
      lastChangeUs_ = NowUs();
    changed_.notify_all();
  }
  bool OnPropertyChanging(QORPropertySet&, const PropertyEntry&) override { return false; }

  // The time the counter reached at least counter, or 0 after timeoutMs.
  int64_t WaitForCounter(long counter, int timeoutMs) {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                             [&] { return lastCounter_ >= counter; })
               ? lastChangeUs_
               : 0;
  }

  std::mutex mutex_;
  std::condition_variable changed_;
  long lastCounter_ = 0;
  int64_t lastChangeUs_ = 0;
  int brokenValues_ = 0;
};

// Counts its calls; the first one waits until the gate opens.
class GatedListener : public IQORPropertySetNotify {
 public:
  void OnPropertyChanged(QORPropertySet&, const PropertyEntry&) override {
    std::unique_lock<std::mutex> lock(mutex_);
    ++calls_;
    threadId_ = qortest::CurrentThreadId();
    changed_.notify_all();
    if (calls_ == 1) changed_.wait(lock, [&] { return open_; });
  }
  bool OnPropertyChanging(QORPropertySet&, const PropertyEntry&) override { return false; }
  bool WaitForCalls(int count, int timeoutMs) {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                             [&] { return calls_ >= count; });
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
  pid_t ThreadId() {
    std::lock_guard<std::mutex> lock(mutex_);
    return threadId_;
  }

  std::mutex mutex_;
  std::condition_variable changed_;
  bool open_ = false;
  int calls_ = 0;
  pid_t threadId_ = 0;
};

class QORPropertySetRegistryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    key_ = OpenTestKey();
    ASSERT_TRUE(key_.IsOpen());
    ASSERT_TRUE(registry_.SetKey(&key_));
    registry_.AttachPropertySet(&set_);
  }
  qortest::TempStateRoot root_;
  QORRegistryKey key_;
  QORPropertySetThreadsafe set_;
  QORPropertySetRegistry registry_;
};

TEST_F(QORPropertySetRegistryTest, SaveThenLoadBack) {
  set_.SetProperty(L"Gain", 3L);
  EXPECT_FALSE(registry_.SaveBinary(nullptr));  // no name known yet: not the unnamed value
  set_.SetProperty(L"Name", L"Room");
  ASSERT_TRUE(registry_.SaveBinary(kValueName));
  QORPropertySetThreadsafe other;
  other.SetProperty(L"Stale", 1L);
  QORPropertySetRegistry reader;
  reader.SetKey(&key_);
  reader.AttachPropertySet(&other);
  ASSERT_TRUE(reader.LoadBinary(kValueName, false, false, false));
  const PropertyList all = Entries(other);
  ASSERT_EQ(all.size(), 2u);
  EXPECT_EQ(boost::any_cast<long>(all[0].value), 3);
  EXPECT_EQ(boost::any_cast<std::wstring>(all[1].value), L"Room");
}

TEST_F(QORPropertySetRegistryTest, WatchDeliversAnotherProcessesWriteQuickly) {
  ASSERT_EQ(key_.SetBinary(kValueName, Generation(1)), ERROR_SUCCESS);
  set_.SetProperty(L"Counter", 0L);
  set_.SetProperty(L"Blob", std::string());
  WatchListener listener;
  set_.AddNotify(&listener);
  ASSERT_TRUE(registry_.WatchValue(true, kValueName));
  EXPECT_NE(listener.WaitForCounter(1, 5000), 0);  // the first load runs on the watch thread

  qortest::ChildProcess child;
  ASSERT_TRUE(child.Start("registry-writer"));
  ASSERT_TRUE(child.WaitFor("ready"));
  for (long counter = 2; counter <= 4; ++counter) {
    ASSERT_TRUE(child.SendLine("set " + std::to_string(counter)));
    std::string written;
    ASSERT_TRUE(child.ReadLine(written));
    const int64_t seen = listener.WaitForCounter(counter, 2000);
    ASSERT_NE(seen, 0) << "generation " << counter << " never arrived";
    EXPECT_LT(seen - std::stoll(written), 100000) << "generation " << counter;
  }
  child.SendLine("end");
  EXPECT_EQ(child.Wait(), 0);
  EXPECT_TRUE(registry_.WatchValue(false, L""));
  set_.RemoveNotify(&listener);
}

TEST_F(QORPropertySetRegistryTest, WatchNeverSeesAHalfWrittenValue) {
  ASSERT_EQ(key_.SetBinary(kValueName, Generation(0)), ERROR_SUCCESS);
  set_.SetProperty(L"Counter", -1L);
  set_.SetProperty(L"Blob", std::string());
  set_.SetProperty(L"Check", -1L);
  WatchListener listener;
  set_.AddNotify(&listener);
  ASSERT_TRUE(registry_.WatchValue(true, kValueName));
  qortest::ChildProcess child;
  ASSERT_TRUE(child.Start("registry-writer", {"loop"}));
  ASSERT_TRUE(child.WaitFor("ready"));
  std::string last;
  ASSERT_TRUE(child.ReadLine(last, 10000));
  ASSERT_EQ(last.rfind("last ", 0), 0u);
  EXPECT_EQ(child.Wait(), 0);
  const long lastCounter = std::stol(last.substr(5));
  ASSERT_GT(lastCounter, 10);
  ASSERT_NE(listener.WaitForCounter(lastCounter, 5000), 0);
  registry_.WatchValue(false, L"");
  long check = 0;
  EXPECT_TRUE(set_.GetProperty(L"Check", check));
  EXPECT_EQ(check, lastCounter);
  EXPECT_EQ(listener.brokenValues_, 0);
  set_.RemoveNotify(&listener);
}

TEST_F(QORPropertySetRegistryTest, ReloadIsNotWrittenBackOverTheNewerValue) {
  // The stored value holds more than the set: writing the reload back would change it.
  ASSERT_EQ(key_.SetBinary(kValueName, BinaryOf({{L"A", boost::any(1L)}, {L"B", boost::any(1L)}})),
            ERROR_SUCCESS);
  set_.SetProperty(L"A", 0L);
  ASSERT_TRUE(registry_.LoadBinary(kValueName, true, true, false));
  registry_.EnableNotify(true);
  WatchListener listener;
  set_.AddNotify(&listener);
  ASSERT_TRUE(registry_.WatchValue(true, kValueName));
  const Bytes update =
      BinaryOf({{L"A", boost::any(2L)}, {L"B", boost::any(2L)}, {L"Counter", boost::any(1L)}});
  set_.SetProperty(L"Counter", 0L);  // written through while the watch runs
  ASSERT_EQ(key_.SetBinary(kValueName, update), ERROR_SUCCESS);
  ASSERT_NE(listener.WaitForCounter(1, 2000), 0);
  registry_.WatchValue(false, L"");
  uint32_t type = 0;
  Bytes stored;
  ASSERT_EQ(key_.QueryValue(kValueName, &type, &stored), ERROR_SUCCESS);
  EXPECT_EQ(stored, update);
  registry_.EnableNotify(false);
  set_.RemoveNotify(&listener);
}

TEST_F(QORPropertySetRegistryTest, AbandonedWatchThreadKeepsWhatItStillUses) {
  auto set = std::make_shared<QORPropertySetThreadsafe>();
  set->SetProperty(L"A", 0L);
  set->SetProperty(L"B", 0L);
  GatedListener listener;
  set->AddNotify(&listener);
  auto registry = std::make_unique<QORPropertySetRegistry>();
  ASSERT_TRUE(registry->SetKey(&key_));
  registry->AttachPropertySet(set);
  registry->SetStopTimeout(100);
  ASSERT_TRUE(registry->WatchValue(true, kValueName));
  // Two entries change: the reload blocks in the first call, with the second still to merge.
  ASSERT_EQ(key_.SetBinary(kValueName, BinaryOf({{L"A", boost::any(1L)}, {L"B", boost::any(1L)}})),
            ERROR_SUCCESS);
  ASSERT_TRUE(listener.WaitForCalls(1, 2000));

  set.reset();
  const auto start = std::chrono::steady_clock::now();
  registry.reset();  // abandons the thread after 100 ms
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(3));
  listener.Open();
  ASSERT_TRUE(qortest::WaitForThreadEnd(listener.ThreadId(), 5000));
  EXPECT_EQ(listener.Calls(), 2);  // the merge ran to its end on the set the thread held
}

}  // namespace
