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
#include "TraceCapture.h"
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

// Collects what the watch thread delivers, as set listener or as sink, and lets the test wait.
class WatchListener : public IQORPropertySetNotify, public IQORPropertySetRegistrySimpleNotify {
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
  void OnRegistryChanged(QORPropertySetRegistry& source) override {
    std::lock_guard<std::mutex> lock(mutex_);
    lastSource_ = &source;
    ++sinkCalls_;
    changed_.notify_all();
  }

  // The time the counter reached at least counter, or 0 after timeoutMs.
  int64_t WaitForCounter(long counter, int timeoutMs) {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                             [&] { return lastCounter_ >= counter; })
               ? lastChangeUs_
               : 0;
  }
  bool WaitForSinkCall(int timeoutMs) {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                             [&] { return sinkCalls_ > 0; });
  }

  std::mutex mutex_;
  std::condition_variable changed_;
  long lastCounter_ = 0;
  int64_t lastChangeUs_ = 0;
  int brokenValues_ = 0;
  int sinkCalls_ = 0;
  QORPropertySetRegistry* lastSource_ = nullptr;
};

class QORPropertySetRegistryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    key_ = OpenTestKey();
    ASSERT_TRUE(key_.IsOpen());
    ASSERT_TRUE(registry_.SetKey(&key_));
    registry_.AttachPropertySet(&set_);
  }
  // The raw value, or nothing when it is absent.
  std::vector<uint8_t> Stored(const wchar_t* name) {
    uint32_t type = REG_NONE;
    std::vector<uint8_t> bytes;
    key_.QueryValue(name, &type, &bytes);
    return bytes;
  }
  // key in the binary value name, -1 when absent.
  long StoredLong(const wchar_t* name, const wchar_t* key) {
    QORPropertySet stored;
    stored.SetAllPropertiesBinary(Stored(name));
    long value = -1;
    stored.GetProperty(key, value);
    return value;
  }

  qortest::TempStateRoot root_;
  QORRegistryKey key_;
  QORPropertySetThreadsafe set_;
  QORPropertySetRegistry registry_;
};

TEST_F(QORPropertySetRegistryTest, KeyIsHeldAsOwnDuplicate) {
  QORPropertySetRegistry other;
  EXPECT_EQ(other.GetKey(), nullptr);
  QORRegistryKey closed;
  EXPECT_FALSE(other.SetKey(&closed));
  EXPECT_TRUE(other.SetKey(&key_));
  key_.Close();
  ASSERT_NE(other.GetKey(), nullptr);
  EXPECT_EQ(other.GetKey()->SetDword(L"Probe", 7), ERROR_SUCCESS);
  EXPECT_FALSE(other.SetKey(nullptr));
  EXPECT_EQ(other.GetKey(), nullptr);
}

TEST_F(QORPropertySetRegistryTest, SaveAndLoadBinary) {
  set_.SetProperty(L"Gain", 3L);
  set_.SetProperty(L"Name", L"Room");
  EXPECT_FALSE(registry_.IsStored());
  ASSERT_TRUE(registry_.SaveBinary(kValueName));
  EXPECT_TRUE(registry_.IsStored());
  EXPECT_EQ(registry_.GetBinaryValueName(), kValueName);
  uint32_t type = REG_NONE;
  ASSERT_EQ(key_.QueryValue(kValueName, &type, nullptr, nullptr), ERROR_SUCCESS);
  EXPECT_EQ(type, REG_BINARY);
  Bytes expected;
  set_.GetAllPropertiesBinary(expected);
  EXPECT_EQ(Stored(kValueName), expected);

  // Without merge the content is replaced; with it only existing keys take values.
  QORPropertySetThreadsafe other;
  other.SetProperty(L"Stale", 1L);
  QORPropertySetRegistry reader;
  reader.SetKey(&key_);
  reader.AttachPropertySet(&other);
  ASSERT_TRUE(reader.LoadBinary(kValueName, false, false, false));
  ASSERT_EQ(Entries(other).size(), 2u);
  EXPECT_EQ(Entries(other)[0].key, L"Gain");
  EXPECT_EQ(reader.GetBinaryValueName(), kValueName);
  other.ClearProperties();
  other.SetProperty(L"gain", 0L);
  ASSERT_TRUE(reader.LoadBinary(kValueName, true, true, false));
  ASSERT_EQ(Entries(other).size(), 1u);
  EXPECT_EQ(boost::any_cast<long>(Entries(other)[0].value), 3);

  // Other types, empty and missing values are refused without touching the set or the name.
  ASSERT_EQ(key_.SetDword(L"Number", 5), ERROR_SUCCESS);
  ASSERT_EQ(key_.SetBinary(L"Empty", {}), ERROR_SUCCESS);
  EXPECT_FALSE(registry_.LoadBinary(L"Number", false, false, false));
  EXPECT_FALSE(registry_.LoadBinary(L"Empty", true, true, true));
  EXPECT_FALSE(registry_.LoadBinary(L"Missing", true, true, true));
  EXPECT_EQ(Entries(set_).size(), 2u);

  // A malformed value without merge leaves what was read before the bad record.
  Bytes bytes = BinaryOf({{L"A", boost::any(1L)}});
  for (uint8_t byte : {0, 0, 0, 0, 1, 0, 0, 0, 4, 0, 0, 0, 0, 1, 2, 3, 4}) bytes.push_back(byte);
  ASSERT_EQ(key_.SetBinary(L"Bad", bytes), ERROR_SUCCESS);
  EXPECT_FALSE(registry_.LoadBinary(L"Bad", false, false, false));
  ASSERT_EQ(Entries(set_).size(), 1u);
  EXPECT_EQ(Entries(set_)[0].key, L"A");
  EXPECT_EQ(registry_.GetBinaryValueName(), kValueName);
}

TEST_F(QORPropertySetRegistryTest, SaveBinaryWritesNothingForAnIncompleteOrEmptySet) {
  qortest::TraceCapture trace;
  set_.SetProperty(L"Gain", 3L);
  set_.SetProperty(L"Label", std::wstring());
  EXPECT_FALSE(registry_.SaveBinary(kValueName));
  EXPECT_FALSE(registry_.IsStored());
  set_.ClearProperties();
  EXPECT_FALSE(registry_.SaveBinary(kValueName));
  uint32_t type = REG_NONE;
  EXPECT_EQ(key_.QueryValue(kValueName, &type, nullptr, nullptr), ERROR_FILE_NOT_FOUND);
  const auto lines = trace.LinesContaining("GetAllPropertiesBinary returned 0 length.");
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_NE(lines[0].find("QORPropertySetRegistry::SaveBinary"), std::string::npos);

  // Without a name and nothing stored yet there is no value to write to.
  set_.SetProperty(L"Gain", 4L);
  EXPECT_FALSE(registry_.SaveBinary(nullptr));
  EXPECT_EQ(key_.QueryValue(L"", &type, nullptr, nullptr), ERROR_FILE_NOT_FOUND);
}

TEST_F(QORPropertySetRegistryTest, SaveValuesAndLoadThemBack) {
  const wchar_t* const numbers[] = {L"Count", L"Small", L"On", L"Empty", L"NoBytes"};
  const uint32_t dwords[] = {7, 0xFFFFFFFEu, 1, 0, 0};
  set_.SetProperty(L"Half", 0.5f);
  set_.SetProperty(numbers[0], boost::any(7));
  set_.SetProperty(numbers[1], boost::any(short{-2}));
  set_.SetProperty(numbers[2], true);
  set_.SetProperty(numbers[3], std::wstring());
  set_.SetProperty(numbers[4], boost::any(std::vector<char>{}));
  set_.SetProperty(L"Bytes", boost::any(std::vector<unsigned char>{0x0A, 0xFF}));
  set_.SetProperty(L"Text", "abc");
  EXPECT_TRUE(registry_.SaveValues());
  std::wstring text;
  EXPECT_EQ(key_.GetString(L"Half", &text), ERROR_SUCCESS);
  EXPECT_EQ(text, L"0.5");
  for (size_t i = 0; i < std::size(numbers); ++i) {
    uint32_t number = 99;
    EXPECT_EQ(key_.GetDword(numbers[i], &number), ERROR_SUCCESS) << i;
    EXPECT_EQ(number, dwords[i]) << i;
  }
  uint32_t type = REG_NONE;
  ASSERT_EQ(key_.QueryValue(L"Bytes", &type, nullptr, nullptr), ERROR_SUCCESS);
  EXPECT_EQ(type, REG_BINARY);
  EXPECT_EQ(Stored(L"Bytes"), (std::vector<uint8_t>{0x0A, 0xFF}));

  // Read back: texts as wide strings, numbers as long, bytes as a char vector, each announced.
  QORPropertySetThreadsafe back;
  PropertySetRecorder recorder;
  back.AddNotify(&recorder);
  QORPropertySetRegistry reader;
  reader.SetKey(&key_);
  reader.AttachPropertySet(&back);
  EXPECT_TRUE(reader.LoadValues());
  EXPECT_EQ(recorder.calls.size(), 8u);
  boost::any value;
  ASSERT_TRUE(back.GetProperty(L"Half", value));
  EXPECT_EQ(boost::any_cast<std::wstring>(value), L"0.5");
  for (size_t i = 0; i < std::size(numbers); ++i) {
    ASSERT_TRUE(back.GetProperty(numbers[i], value));
    EXPECT_EQ(boost::any_cast<long>(value), static_cast<int32_t>(dwords[i])) << i;
  }
  ASSERT_TRUE(back.GetProperty(L"Bytes", value));
  EXPECT_EQ(boost::any_cast<std::vector<char>>(value), (std::vector<char>{0x0A, '\xFF'}));
  back.RemoveNotify(&recorder);
}

TEST_F(QORPropertySetRegistryTest, LoadValuesSkipsUnreadableValues) {
  set_.SetProperty(L"Old", 1L);
  ASSERT_EQ(key_.SetMultiString(L"Multi", {L"first", L"second"}), ERROR_SUCCESS);
  ASSERT_EQ(key_.SetString(L"Expand", L"%ROOT%\\x", REG_EXPAND_SZ), ERROR_SUCCESS);
  ASSERT_EQ(key_.SetValue(L"EmptyText", REG_SZ, nullptr, 0), ERROR_SUCCESS);
  ASSERT_EQ(key_.SetQword(L"Wide", 5), ERROR_SUCCESS);
  const uint8_t odd[] = {'a', 0, 0};
  ASSERT_EQ(key_.SetValue(L"Odd", REG_SZ, odd, 3), ERROR_SUCCESS);
  ASSERT_EQ(key_.SetValue(L"Open", REG_SZ, odd, 2), ERROR_SUCCESS);  // no terminator

  EXPECT_FALSE(registry_.LoadValues());
  std::vector<std::wstring> keys;
  for (const PropertyEntry& entry : Entries(set_)) keys.push_back(entry.key);
  EXPECT_EQ(keys, (std::vector<std::wstring>{L"EmptyText", L"Expand", L"Multi"}));
  std::wstring text;
  EXPECT_TRUE(set_.GetProperty(L"Multi", text));
  EXPECT_EQ(text, L"first");
  EXPECT_TRUE(set_.GetProperty(L"Expand", text));
  EXPECT_EQ(text, L"%ROOT%\\x");

  QORRegistryKey emptyKey;
  ASSERT_EQ(key_.CreateSubKey(L"Empty", KEY_ALL_ACCESS, emptyKey), ERROR_SUCCESS);
  registry_.SetKey(&emptyKey);
  EXPECT_TRUE(registry_.LoadValues());
  EXPECT_TRUE(Entries(set_).empty());
}

TEST_F(QORPropertySetRegistryTest, WriteThroughFollowsTheLastStoredName) {
  set_.SetProperty(L"Gain", 1L);
  registry_.EnableNotify(true);
  set_.SetProperty(L"Gain", 2L);  // nothing stored yet: nowhere to write
  uint32_t type = REG_NONE;
  EXPECT_EQ(key_.QueryValue(L"", &type, nullptr, nullptr), ERROR_FILE_NOT_FOUND);
  ASSERT_TRUE(registry_.SaveBinary(L"One"));
  ASSERT_TRUE(registry_.SaveBinary(L"Two"));
  set_.SetProperty(L"Gain", 3L);
  EXPECT_EQ(StoredLong(L"Two", L"Gain"), 3);
  EXPECT_EQ(StoredLong(L"One", L"Gain"), 2);

  // Enabling twice registers once: one disable stops the writing.
  registry_.EnableNotify(true);
  registry_.EnableNotify(false);
  set_.SetProperty(L"Gain", 4L);
  EXPECT_EQ(StoredLong(L"Two", L"Gain"), 3);

  // A set attached while listening is followed; the old one no longer is.
  registry_.EnableNotify(true);
  QORPropertySetThreadsafe next;
  next.SetProperty(L"Gain", 10L);
  registry_.AttachPropertySet(&next);
  set_.SetProperty(L"Gain", 5L);
  EXPECT_EQ(StoredLong(L"Two", L"Gain"), 3);
  next.SetProperty(L"Gain", 11L);
  EXPECT_EQ(StoredLong(L"Two", L"Gain"), 11);
  registry_.EnableNotify(false);
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
  for (long counter = 2; counter <= 6; ++counter) {
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
  std::wstring missing;
  EXPECT_FALSE(set_.GetProperty(L"Check", missing));  // reloads add nothing new
  EXPECT_EQ(listener.brokenValues_, 0);
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

TEST_F(QORPropertySetRegistryTest, ReloadIsNotWrittenBackOverOtherEntries) {
  // The stored value holds more than the set: writing the reload back would drop B.
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
  set_.SetProperty(L"Counter", 0L);  // written through, while the watch runs
  ASSERT_EQ(key_.SetBinary(kValueName, update), ERROR_SUCCESS);
  ASSERT_NE(listener.WaitForCounter(1, 2000), 0);
  registry_.WatchValue(false, L"");
  long a = 0;
  EXPECT_TRUE(set_.GetProperty(L"A", a));
  EXPECT_EQ(a, 2);
  EXPECT_EQ(Stored(kValueName), update);
  registry_.EnableNotify(false);
  set_.RemoveNotify(&listener);
}

TEST_F(QORPropertySetRegistryTest, SinkIsToldInsteadOfReloading) {
  set_.SetProperty(L"Counter", 0L);
  WatchListener sink;
  ASSERT_TRUE(registry_.WatchWithSink(&sink));
  ASSERT_EQ(key_.SetBinary(kValueName, Generation(5)), ERROR_SUCCESS);
  ASSERT_TRUE(sink.WaitForSinkCall(2000));
  EXPECT_TRUE(registry_.WatchWithSink(nullptr));
  EXPECT_EQ(sink.lastSource_, &registry_);
  long counter = -1;
  EXPECT_TRUE(set_.GetProperty(L"Counter", counter));
  EXPECT_EQ(counter, 0);
  EXPECT_FALSE(registry_.IsStored());

  QORPropertySetRegistry keyless;
  EXPECT_FALSE(keyless.WatchWithSink(&sink));
  EXPECT_FALSE(keyless.WatchValue(true, kValueName));
  EXPECT_TRUE(keyless.WatchValue(false, kValueName));
}

}  // namespace
