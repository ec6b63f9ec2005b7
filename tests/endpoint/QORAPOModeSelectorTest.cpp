#include "endpoint/QORAPOModeSelector.h"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "ChildProcess.h"
#include "EndpointSettingsSupport.h"
#include "TempStateRoot.h"
#include "platform/QORRegistryKey.h"

namespace {

using namespace endpointsettings;

const QORAPOModeIdentity kDefault("VAPO3-Music", "VAPO3-Speakers");

// Sets the mode the parent names ("set MODE SPEAKER"), answering with the time just before.
int ModeSetterChild(const std::vector<std::string>&) {
  QORAPOEndpointInfo info;
  QORAPOModeSelector selector;
  if (!MakeEndpoint(info, false) || !selector.Init(info, kDefault)) return 1;
  qortest::ChildSay("ready");
  std::string line;
  while (qortest::ChildHear(line) && line.rfind("set ", 0) == 0) {
    const size_t space = line.find(' ', 4);
    const QORAPOModeIdentity mode(line.substr(4, space - 4), line.substr(space + 1));
    const int64_t before = NowUs();
    if (!selector.SetMode(mode)) return 2;
    qortest::ChildSay(std::to_string(before));
  }
  return 0;
}
qortest::ChildRegistration modeSetter("mode-setter", &ModeSetterChild);

// Counts calls and their times; with a gate, the first call waits until the gate opens.
class ModeListener : public IQORAPOModeSelectorNotify {
 public:
  explicit ModeListener(bool gated = false) : gated_(gated) {}

  void OnModeSelectorChanged() override {
    std::unique_lock<std::mutex> lock(mutex_);
    ++calls_;
    lastCallUs_ = NowUs();
    threadId_ = CurrentThreadId();
    changed_.notify_all();
    if (gated_ && calls_ == 1) changed_.wait(lock, [&] { return open_; });
  }

  // The time of the call that reached count, or 0 after timeoutMs.
  int64_t WaitForCalls(int count, int timeoutMs) {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                             [&] { return calls_ >= count; })
               ? lastCallUs_
               : 0;
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

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  bool gated_;
  bool open_ = false;
  int calls_ = 0;
  int64_t lastCallUs_ = 0;
  pid_t threadId_ = 0;
};

class QORAPOModeSelectorTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(MakeEndpoint(info_, true)); }

  void Store(const PropertyList& entries) {
    ASSERT_EQ(EndpointKey(info_).SetBinary(QORAPOModeSelector::kValueName, BinaryOf(entries)),
              ERROR_SUCCESS);
  }

  qortest::TempStateRoot root_;
  QORAPOEndpointInfo info_;
};

TEST_F(QORAPOModeSelectorTest, DefaultUntilAModeIsStored) {
  QORAPOModeSelector selector;
  ASSERT_TRUE(selector.Init(info_, kDefault));
  QORAPOModeIdentity mode;
  EXPECT_FALSE(selector.GetMode(mode));  // nothing stored yet
  EXPECT_EQ(mode, kDefault);

  const QORAPOModeIdentity movie("VAPO3-Movie", "VAPO3-Headphones");
  ASSERT_TRUE(selector.SetMode(movie));
  EXPECT_TRUE(selector.GetMode(mode));
  EXPECT_EQ(mode, movie);

  // Two records of 8-bit text (tag 6): "VAPO3-Operating Mode" (40 key bytes), then the other.
  uint32_t type = 0;
  std::vector<uint8_t> stored;
  ASSERT_EQ(EndpointKey(info_).QueryValue(L"QorApoCurrOpMode", &type, &stored), ERROR_SUCCESS);
  EXPECT_EQ(type, REG_BINARY);
  const std::string first = "VAPO3-Movie";
  ASSERT_EQ(stored.size(), (12u + 40 + 1 + first.size()) + (12u + 36 + 1 + 16));
  EXPECT_EQ(stored[0], 40);
  EXPECT_EQ(stored[4], 1);
  EXPECT_EQ(stored[8], first.size());
  EXPECT_EQ(stored[12], 'V');
  EXPECT_EQ(stored[52], 6);
  EXPECT_EQ(std::string(stored.begin() + 53, stored.begin() + 53 + first.size()), first);

  // A new selector takes the stored mode over its default.
  QORAPOModeSelector later;
  ASSERT_TRUE(later.Init(info_, kDefault));
  EXPECT_TRUE(later.GetMode(mode));
  EXPECT_EQ(mode, movie);

  EXPECT_TRUE(later.DeleteValue());
  EXPECT_FALSE(later.DeleteValue());
  EXPECT_FALSE(later.GetMode(mode));
}

TEST_F(QORAPOModeSelectorTest, MissingKeyKeepsTheDefaultUnstored) {
  ASSERT_EQ(QORRegistryKey::DeleteTree(QORRegistryHive::kLocalMachine, info_.GetRegistrySubkey()),
            ERROR_SUCCESS);
  QORAPOModeSelector selector;
  EXPECT_FALSE(selector.Init(info_, kDefault));
  EXPECT_FALSE(selector.SetMode(QORAPOModeIdentity("VAPO3-Movie", "VAPO3-Speakers")));
  QORAPOModeIdentity mode;
  EXPECT_FALSE(selector.GetMode(mode));
  EXPECT_EQ(mode.GetText(), "ApoOpMode:VAPO3-Movie/VAPO3-Speakers");
  ModeListener listener;
  EXPECT_FALSE(selector.SetNotify(&listener));  // no key to watch
  EXPECT_TRUE(selector.SetNotify(nullptr));
}

TEST_F(QORAPOModeSelectorTest, HalfAStoredModeIsNoMode) {
  Store({{L"VAPO3-Operating Mode", boost::any(std::string("VAPO3-Movie"))}});
  QORAPOModeSelector selector;
  ASSERT_TRUE(selector.Init(info_, kDefault));
  QORAPOModeIdentity mode;
  EXPECT_FALSE(selector.GetMode(mode));
  EXPECT_EQ(mode.GetText(), "ApoOpMode:VAPO3-Movie/VAPO3-Disabled");

  // A value that does not parse fails too.
  ASSERT_EQ(EndpointKey(info_).SetBinary(QORAPOModeSelector::kValueName,
                                         std::vector<uint8_t>{0, 0, 0, 0, 1, 0, 0, 0, 1, 0, 0, 0}),
            ERROR_SUCCESS);
  EXPECT_FALSE(selector.GetMode(mode));
}

TEST_F(QORAPOModeSelectorTest, AnotherProcessesModeReachesTheListenerQuickly) {
  QORAPOModeSelector selector;
  ASSERT_TRUE(selector.Init(info_, kDefault));
  ASSERT_TRUE(selector.SetMode(kDefault));
  ModeListener listener;
  ASSERT_TRUE(selector.SetNotify(&listener));

  qortest::ChildProcess child;
  ASSERT_TRUE(child.Start("mode-setter"));
  ASSERT_TRUE(child.WaitFor("ready"));
  // Only the speaker type changes: one call.
  ASSERT_TRUE(child.SendLine("set VAPO3-Music VAPO3-Headphones"));
  std::string written;
  ASSERT_TRUE(child.ReadLine(written));
  const int64_t heard = listener.WaitForCalls(1, 2000);
  ASSERT_NE(heard, 0);
  EXPECT_LT(heard - std::stoll(written), 100000);
  QORAPOModeIdentity mode;
  EXPECT_TRUE(selector.GetMode(mode));
  EXPECT_EQ(mode.GetText(), "ApoOpMode:VAPO3-Music/VAPO3-Headphones");

  // Both halves change: two calls, and with stopping the watch every delivery is done.
  ASSERT_TRUE(child.SendLine("set VAPO3-Movie VAPO3-Speakers"));
  ASSERT_TRUE(child.ReadLine(written));
  ASSERT_NE(listener.WaitForCalls(3, 2000), 0);
  EXPECT_TRUE(selector.SetNotify(nullptr));
  EXPECT_EQ(listener.Calls(), 3);
  child.SendLine("end");
  EXPECT_EQ(child.Wait(), 0);
}

TEST_F(QORAPOModeSelectorTest, WatchThreadStuckInTheListenerOutlivesTheSelector) {
  auto selector = std::make_unique<QORAPOModeSelector>();
  ASSERT_TRUE(selector->Init(info_, kDefault));
  ASSERT_TRUE(selector->SetMode(kDefault));
  selector->SetStopTimeout(100);
  ModeListener listener(true);
  ASSERT_TRUE(selector->SetNotify(&listener));

  // Both halves change: the watch thread blocks in the first call, with the second still to come.
  QORAPOModeSelector writer;
  ASSERT_TRUE(writer.Init(info_, kDefault));
  ASSERT_TRUE(writer.SetMode(QORAPOModeIdentity("VAPO3-Movie", "VAPO3-Headphones")));
  ASSERT_NE(listener.WaitForCalls(1, 2000), 0);

  const auto start = std::chrono::steady_clock::now();
  selector.reset();
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(3));

  // Released, the thread finishes its reload and its loop on memory it still holds, and calls
  // nobody for the second half.
  listener.Open();
  ASSERT_TRUE(WaitForThreadEnd(listener.ThreadId(), 5000));
  EXPECT_EQ(listener.Calls(), 1);
}

}  // namespace
