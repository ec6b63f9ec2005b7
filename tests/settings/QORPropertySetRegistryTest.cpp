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

QORRegistryKey OpenTestKey() {
  QORRegistryKey key;
  QORRegistryKey::Create(QORRegistryHive::kLocalMachine, kKeyPath, KEY_ALL_ACCESS, key);
  return key;
}

QORPropertySet::Bytes BinaryOf(const PropertyList& entries) {
  QORPropertySet set;
  set.SetAllProperties(entries, false);
  QORPropertySet::Bytes bytes;
  set.GetAllPropertiesBinary(bytes);
  return bytes;
}

// Entries whose parts all carry the same counter, so that a mixed or cut value shows.
QORPropertySet::Bytes Generation(long counter) {
  const char letter = static_cast<char>('a' + counter % 26);
  return BinaryOf({{L"Counter", boost::any(counter)},
                   {L"Blob", boost::any(std::string(kBlobChars, letter))},
                   {L"Check", boost::any(counter)}});
}

int64_t NowUs() {
  return std::chrono::duration_cast<std::chrono::microseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

// Writes generation N of the binary value each time the parent says "set N", answering with the
// time just before the write.
int SetWriterChild(const std::vector<std::string>&) {
  QORRegistryKey key = OpenTestKey();
  if (!key.IsOpen()) return 1;
  qortest::ChildSay("ready");
  std::string line;
  while (qortest::ChildHear(line) && line.rfind("set ", 0) == 0) {
    const long counter = std::stol(line.substr(4));
    const int64_t before = NowUs();
    if (key.SetBinary(kValueName, Generation(counter)) != ERROR_SUCCESS) return 2;
    qortest::ChildSay(std::to_string(before));
  }
  return 0;
}
qortest::ChildRegistration setWriter("registry-set-writer", &SetWriterChild);

// Rewrites the binary value with ever newer generations for a while; reports the last one.
int SetRewriterChild(const std::vector<std::string>&) {
  QORRegistryKey key = OpenTestKey();
  if (!key.IsOpen()) return 1;
  qortest::ChildSay("ready");
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(1200);
  long counter = 1;
  for (; std::chrono::steady_clock::now() < end; ++counter) {
    if (key.SetBinary(kValueName, Generation(counter)) != ERROR_SUCCESS) return 2;
  }
  qortest::ChildSay("last " + std::to_string(counter - 1));
  return 0;
}
qortest::ChildRegistration setRewriter("registry-set-rewriter", &SetRewriterChild);

// Collects what the watch thread delivers and lets the test wait for a state, bounded.
class WatchListener : public IQORPropertySetNotify {
 public:
  void OnPropertyChanged(QORPropertySet& set, const PropertyEntry& entry) override {
    std::lock_guard<std::mutex> lock(mutex_);
    if (entry.key == L"Blob") {
      const auto& text = boost::any_cast<const std::string&>(entry.value);
      if (text.size() != kBlobChars || text.find_first_not_of(text[0]) != std::string::npos) {
        ++brokenValues_;
      }
    }
    long counter = 0;
    if (entry.key == L"Counter" && set.GetProperty(L"Counter", counter)) {
      lastCounter_ = counter;
      lastChangeUs_ = NowUs();
    }
    changed_.notify_all();
  }
  bool OnPropertyChanging(QORPropertySet&, const PropertyEntry&) override { return false; }

  // The time the counter reached at least counter, or 0 after timeoutMs.
  int64_t WaitForCounter(long counter, int timeoutMs) {
    std::unique_lock<std::mutex> lock(mutex_);
    const bool reached = changed_.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                                           [&] { return lastCounter_ >= counter; });
    return reached ? lastChangeUs_ : 0;
  }
  int BrokenValues() {
    std::lock_guard<std::mutex> lock(mutex_);
    return brokenValues_;
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  long lastCounter_ = 0;
  int64_t lastChangeUs_ = 0;
  int brokenValues_ = 0;
};

class CountingSink : public IQORPropertySetRegistrySimpleNotify {
 public:
  void OnRegistryChanged(QORPropertySetRegistry& source) override {
    std::lock_guard<std::mutex> lock(mutex_);
    lastSource_ = &source;
    ++calls_;
    changed_.notify_all();
  }
  bool WaitForCalls(int calls, int timeoutMs) {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                             [&] { return calls_ >= calls; });
  }
  QORPropertySetRegistry* LastSource() {
    std::lock_guard<std::mutex> lock(mutex_);
    return lastSource_;
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  int calls_ = 0;
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

TEST_F(QORPropertySetRegistryTest, SaveAndLoadBinaryRememberTheName) {
  set_.SetProperty(L"Gain", 3L);
  set_.SetProperty(L"Name", L"Room");
  EXPECT_FALSE(registry_.IsStored());
  ASSERT_TRUE(registry_.SaveBinary(kValueName));
  EXPECT_TRUE(registry_.IsStored());
  EXPECT_EQ(registry_.GetBinaryValueName(), kValueName);
  uint32_t type = REG_NONE;
  std::vector<uint8_t> stored;
  ASSERT_EQ(key_.QueryValue(kValueName, &type, &stored), ERROR_SUCCESS);
  EXPECT_EQ(type, REG_BINARY);
  QORPropertySet::Bytes expected;
  set_.GetAllPropertiesBinary(expected);
  EXPECT_EQ(stored, expected);

  // Without merge the content is replaced; with it only existing keys take values.
  QORPropertySetThreadsafe other;
  other.SetProperty(L"Stale", 1L);
  QORPropertySetRegistry reader;
  reader.SetKey(&key_);
  reader.AttachPropertySet(&other);
  ASSERT_TRUE(reader.LoadBinary(kValueName, false, false, false));
  PropertyList entries;
  other.GetAllProperties(entries);
  ASSERT_EQ(entries.size(), 2u);
  EXPECT_EQ(entries[0].key, L"Gain");
  EXPECT_EQ(reader.GetBinaryValueName(), kValueName);

  QORPropertySetThreadsafe partial;
  partial.SetProperty(L"gain", 0L);
  reader.AttachPropertySet(&partial);
  ASSERT_TRUE(reader.LoadBinary(kValueName, true, true, false));
  long gain = 0;
  EXPECT_TRUE(partial.GetProperty(L"Gain", gain));
  EXPECT_EQ(gain, 3);
  std::wstring name;
  EXPECT_FALSE(partial.GetProperty(L"Name", name));
}

TEST_F(QORPropertySetRegistryTest, LoadBinaryRefusesOtherTypesAndEmptyValues) {
  set_.SetProperty(L"Gain", 3L);
  ASSERT_TRUE(registry_.SaveBinary(L"First"));
  ASSERT_EQ(key_.SetDword(L"Number", 5), ERROR_SUCCESS);
  ASSERT_EQ(key_.SetBinary(L"Empty", {}), ERROR_SUCCESS);
  EXPECT_FALSE(registry_.LoadBinary(L"Number", false, false, false));
  EXPECT_FALSE(registry_.LoadBinary(L"Empty", true, true, true));
  EXPECT_FALSE(registry_.LoadBinary(L"Missing", true, true, true));
  EXPECT_EQ(registry_.GetBinaryValueName(), L"First");
  long gain = 0;
  EXPECT_TRUE(set_.GetProperty(L"Gain", gain));  // the failed loads cleared nothing

  // A malformed value without merge leaves what was read before the bad record.
  QORPropertySet::Bytes bytes = BinaryOf({{L"A", boost::any(1L)}});
  const std::vector<uint8_t> badRecord{0, 0, 0, 0, 1, 0, 0, 0, 4, 0, 0, 0, 0, 1, 2, 3, 4};
  bytes.insert(bytes.end(), badRecord.begin(), badRecord.end());
  ASSERT_EQ(key_.SetBinary(L"Bad", bytes), ERROR_SUCCESS);
  EXPECT_FALSE(registry_.LoadBinary(L"Bad", false, false, false));
  PropertyList entries;
  set_.GetAllProperties(entries);
  ASSERT_EQ(entries.size(), 1u);
  EXPECT_EQ(entries[0].key, L"A");
  EXPECT_EQ(registry_.GetBinaryValueName(), L"First");
}

TEST_F(QORPropertySetRegistryTest, SaveBinaryWritesNothingForAnIncompleteOrEmptySet) {
  qortest::TraceCapture trace;
  set_.SetProperty(L"Gain", 3L);
  set_.SetProperty(L"Label", std::wstring());
  EXPECT_FALSE(registry_.SaveBinary(kValueName));
  uint32_t type = REG_NONE;
  EXPECT_EQ(key_.QueryValue(kValueName, &type, nullptr, nullptr), ERROR_FILE_NOT_FOUND);
  EXPECT_FALSE(registry_.IsStored());

  set_.ClearProperties();
  EXPECT_FALSE(registry_.SaveBinary(kValueName));
  EXPECT_EQ(key_.QueryValue(kValueName, &type, nullptr, nullptr), ERROR_FILE_NOT_FOUND);
  const auto lines = trace.LinesContaining("GetAllPropertiesBinary returned 0 length.");
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_NE(lines[0].find("QORPropertySetRegistry::SaveBinary"), std::string::npos);

  // Without a name and nothing stored yet there is no value to write to.
  set_.SetProperty(L"Gain", 4L);
  EXPECT_FALSE(registry_.SaveBinary(nullptr));
  EXPECT_EQ(key_.QueryValue(L"", &type, nullptr, nullptr), ERROR_FILE_NOT_FOUND);
}

TEST_F(QORPropertySetRegistryTest, SaveValuesWritesOneValuePerPropertyByType) {
  set_.SetProperty(L"Half", 0.5f);
  set_.SetProperty(L"Count", boost::any(7));
  set_.SetProperty(L"Small", boost::any(short{-2}));
  set_.SetProperty(L"On", true);
  set_.SetProperty(L"Empty", std::wstring());
  set_.SetProperty(L"Bytes", boost::any(std::vector<unsigned char>{0x0A, 0xFF}));
  set_.SetProperty(L"NoBytes", boost::any(std::vector<char>{}));
  set_.SetProperty(L"Text", "abc");
  EXPECT_TRUE(registry_.SaveValues());

  uint32_t type = REG_NONE;
  std::wstring text;
  EXPECT_EQ(key_.GetString(L"Half", &text), ERROR_SUCCESS);
  EXPECT_EQ(text, L"0.5");
  uint32_t number = 99;
  EXPECT_EQ(key_.GetDword(L"Count", &number), ERROR_SUCCESS);
  EXPECT_EQ(number, 7u);
  EXPECT_EQ(key_.GetDword(L"Small", &number), ERROR_SUCCESS);
  EXPECT_EQ(number, 0xFFFFFFFEu);
  EXPECT_EQ(key_.GetDword(L"On", &number), ERROR_SUCCESS);
  EXPECT_EQ(number, 1u);
  EXPECT_EQ(key_.GetDword(L"Empty", &number), ERROR_SUCCESS);
  EXPECT_EQ(number, 0u);
  EXPECT_EQ(key_.GetDword(L"NoBytes", &number), ERROR_SUCCESS);
  EXPECT_EQ(number, 0u);
  std::vector<uint8_t> bytes;
  EXPECT_EQ(key_.QueryValue(L"Bytes", &type, &bytes), ERROR_SUCCESS);
  EXPECT_EQ(type, REG_BINARY);
  EXPECT_EQ(bytes, (std::vector<uint8_t>{0x0A, 0xFF}));

  // Read back: texts as wide strings, numbers as long, bytes as a char vector.
  QORPropertySetThreadsafe back;
  PropertySetRecorder recorder;
  back.AddNotify(&recorder);
  QORPropertySetRegistry reader;
  reader.SetKey(&key_);
  reader.AttachPropertySet(&back);
  EXPECT_TRUE(reader.LoadValues());
  boost::any value;
  ASSERT_TRUE(back.GetProperty(L"Half", value));
  EXPECT_EQ(boost::any_cast<std::wstring>(value), L"0.5");
  ASSERT_TRUE(back.GetProperty(L"Count", value));
  EXPECT_EQ(boost::any_cast<long>(value), 7);
  ASSERT_TRUE(back.GetProperty(L"Small", value));
  EXPECT_EQ(boost::any_cast<long>(value), -2);
  ASSERT_TRUE(back.GetProperty(L"Empty", value));
  EXPECT_EQ(boost::any_cast<long>(value), 0);
  ASSERT_TRUE(back.GetProperty(L"Bytes", value));
  EXPECT_EQ(boost::any_cast<std::vector<char>>(value), (std::vector<char>{0x0A, '\xFF'}));
  EXPECT_EQ(recorder.calls.size(), 8u);  // every value announced as an addition
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
  const uint8_t unterminated[] = {'a', 0};
  ASSERT_EQ(key_.SetValue(L"Open", REG_SZ, unterminated, 2), ERROR_SUCCESS);

  EXPECT_FALSE(registry_.LoadValues());
  PropertyList entries;
  set_.GetAllProperties(entries);
  std::vector<std::wstring> keys;
  for (const PropertyEntry& entry : entries) keys.push_back(entry.key);
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
  set_.GetAllProperties(entries);
  EXPECT_TRUE(entries.empty());
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
  QORPropertySetThreadsafe check;
  check.SetProperty(L"Gain", 0L);
  QORPropertySetRegistry reader;
  reader.SetKey(&key_);
  reader.AttachPropertySet(&check);
  long gain = 0;
  ASSERT_TRUE(reader.LoadBinary(L"Two", true, true, false));
  EXPECT_TRUE(check.GetProperty(L"Gain", gain));
  EXPECT_EQ(gain, 3);
  ASSERT_TRUE(reader.LoadBinary(L"One", true, true, false));
  EXPECT_TRUE(check.GetProperty(L"Gain", gain));
  EXPECT_EQ(gain, 2);

  // Enabling twice registers once: one disable stops the writing.
  registry_.EnableNotify(true);
  registry_.EnableNotify(false);
  set_.SetProperty(L"Gain", 4L);
  ASSERT_TRUE(reader.LoadBinary(L"Two", true, true, false));
  EXPECT_TRUE(check.GetProperty(L"Gain", gain));
  EXPECT_EQ(gain, 3);

  // A set attached while listening is followed; the old one no longer is.
  registry_.EnableNotify(true);
  QORPropertySetThreadsafe next;
  next.SetProperty(L"Gain", 10L);
  registry_.AttachPropertySet(&next);
  set_.SetProperty(L"Gain", 5L);
  ASSERT_TRUE(reader.LoadBinary(L"Two", true, true, false));
  EXPECT_TRUE(check.GetProperty(L"Gain", gain));
  EXPECT_EQ(gain, 3);
  next.SetProperty(L"Gain", 11L);
  ASSERT_TRUE(reader.LoadBinary(L"Two", true, true, false));
  EXPECT_TRUE(check.GetProperty(L"Gain", gain));
  EXPECT_EQ(gain, 11);
  registry_.EnableNotify(false);
}

TEST_F(QORPropertySetRegistryTest, WatchDeliversAnotherProcessesWriteQuickly) {
  ASSERT_EQ(key_.SetBinary(kValueName, Generation(1)), ERROR_SUCCESS);
  set_.SetProperty(L"Counter", 0L);
  set_.SetProperty(L"Blob", std::string());
  WatchListener listener;
  set_.AddNotify(&listener);
  ASSERT_TRUE(registry_.WatchValue(true, kValueName));
  // The first load happens on the watch thread at start.
  EXPECT_NE(listener.WaitForCounter(1, 5000), 0);
  std::wstring missing;
  EXPECT_FALSE(set_.GetProperty(L"Check", missing));  // reloads add nothing new

  qortest::ChildProcess child;
  ASSERT_TRUE(child.Start("registry-set-writer"));
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
  EXPECT_FALSE(set_.GetProperty(L"Check", missing));
  EXPECT_EQ(listener.BrokenValues(), 0);
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
  ASSERT_TRUE(child.Start("registry-set-rewriter"));
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
  EXPECT_EQ(listener.BrokenValues(), 0);
  set_.RemoveNotify(&listener);
}

TEST_F(QORPropertySetRegistryTest, ReloadIsNotWrittenBackOverOtherEntries) {
  // The stored value holds more than the set: writing the reload back would drop B.
  const QORPropertySet::Bytes initial = BinaryOf({{L"A", boost::any(1L)}, {L"B", boost::any(1L)}});
  ASSERT_EQ(key_.SetBinary(kValueName, initial), ERROR_SUCCESS);
  set_.SetProperty(L"A", 0L);
  ASSERT_TRUE(registry_.LoadBinary(kValueName, true, true, false));
  registry_.EnableNotify(true);
  WatchListener listener;
  set_.AddNotify(&listener);
  ASSERT_TRUE(registry_.WatchValue(true, kValueName));

  const QORPropertySet::Bytes update =
      BinaryOf({{L"A", boost::any(2L)}, {L"B", boost::any(2L)}, {L"Counter", boost::any(1L)}});
  set_.SetProperty(L"Counter", 0L);  // written through, while the watch runs
  ASSERT_EQ(key_.SetBinary(kValueName, update), ERROR_SUCCESS);
  ASSERT_NE(listener.WaitForCounter(1, 2000), 0);
  registry_.WatchValue(false, L"");
  long a = 0;
  EXPECT_TRUE(set_.GetProperty(L"A", a));
  EXPECT_EQ(a, 2);
  uint32_t type = REG_NONE;
  std::vector<uint8_t> stored;
  ASSERT_EQ(key_.QueryValue(kValueName, &type, &stored), ERROR_SUCCESS);
  EXPECT_EQ(stored, update);
  registry_.EnableNotify(false);
  set_.RemoveNotify(&listener);
}

TEST_F(QORPropertySetRegistryTest, SinkIsToldInsteadOfReloading) {
  set_.SetProperty(L"Counter", 0L);
  CountingSink sink;
  ASSERT_TRUE(registry_.WatchWithSink(&sink));
  ASSERT_EQ(key_.SetBinary(kValueName, Generation(5)), ERROR_SUCCESS);
  ASSERT_TRUE(sink.WaitForCalls(1, 2000));
  EXPECT_EQ(sink.LastSource(), &registry_);
  long counter = -1;
  EXPECT_TRUE(set_.GetProperty(L"Counter", counter));
  EXPECT_EQ(counter, 0);
  EXPECT_TRUE(registry_.WatchWithSink(nullptr));
  EXPECT_FALSE(registry_.IsStored());

  QORPropertySetRegistry keyless;
  EXPECT_FALSE(keyless.WatchWithSink(&sink));
  EXPECT_FALSE(keyless.WatchValue(true, kValueName));
  EXPECT_TRUE(keyless.WatchValue(false, kValueName));
}

}  // namespace
