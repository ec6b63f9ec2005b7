#include "platform/QORRegistryWatch.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "ChildProcess.h"
#include "TempStateRoot.h"
#include "platform/QORRegistryKey.h"
#include "platform/QORWait.h"

namespace {

constexpr wchar_t kWatched[] = L"Software\\QOR Labs\\APO\\Watched";

int64_t NowNs() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

// Sets a value each time the parent says "set" and answers with the time of the completed write.
int WriterChild(const std::vector<std::string>&) {
  QORRegistryKey key;
  if (QORRegistryKey::Open(QORRegistryHive::kLocalMachine, kWatched, KEY_SET_VALUE, key) !=
      ERROR_SUCCESS) {
    return 1;
  }
  qortest::ChildSay("ready");
  std::string line;
  uint32_t count = 0;
  while (qortest::ChildHear(line) && line == "set") {
    if (key.SetDword(L"Value", ++count) != ERROR_SUCCESS) return 2;
    qortest::ChildSay(std::to_string(NowNs()));
  }
  return 0;
}
qortest::ChildRegistration writerChild("registry-writer", &WriterChild);

const std::vector<uint8_t> kLong(8192, 0xA5);
const std::vector<uint8_t> kShort{1, 2, 3};
const std::vector<uint8_t> kText{'o', 0, 'k', 0, 0, 0};

// Rewrites one value for a while, alternating contents, sizes and types.
int RewriterChild(const std::vector<std::string>&) {
  QORRegistryKey key;
  if (QORRegistryKey::Open(QORRegistryHive::kLocalMachine, kWatched, KEY_SET_VALUE, key) !=
      ERROR_SUCCESS) {
    return 1;
  }
  qortest::ChildSay("ready");
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(1500);
  for (uint32_t i = 0; std::chrono::steady_clock::now() < end; ++i) {
    const uint32_t result = i % 3 == 0   ? key.SetBinary(L"Blob", kLong)
                            : i % 3 == 1 ? key.SetBinary(L"Blob", kShort)
                                         : key.SetValue(L"Blob", REG_SZ, kText.data(), 6);
    if (result != ERROR_SUCCESS) return 2;
  }
  qortest::ChildSay("done");
  return 0;
}
qortest::ChildRegistration rewriterChild("registry-rewriter", &RewriterChild);

class QORRegistryWatchTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(ERROR_SUCCESS, QORRegistryKey::Create(QORRegistryHive::kLocalMachine, kWatched,
                                                    KEY_ALL_ACCESS, key_));
  }

  qortest::TempStateRoot root_;
  QORRegistryKey key_;
};

TEST_F(QORRegistryWatchTest, ChangeByAnotherProcessWakesWithin100ms) {
  std::unique_ptr<QORRegistryWatch> watch;
  ASSERT_EQ(ERROR_SUCCESS, key_.Watch(REG_NOTIFY_CHANGE_LAST_SET, &watch));
  qortest::ChildProcess child;
  ASSERT_TRUE(child.Start("registry-writer"));
  ASSERT_TRUE(child.WaitFor("ready"));
  for (int round = 0; round < 3; ++round) {
    ASSERT_TRUE(child.SendLine("set"));
    ASSERT_EQ(kQORWaitObject0, QORWaitForSingle(*watch, 5000));
    const int64_t woke = NowNs();
    std::string line;
    ASSERT_TRUE(child.ReadLine(line));
    EXPECT_LT(woke - std::stoll(line), 100'000'000) << "round " << round;
  }
  ASSERT_TRUE(child.SendLine("quit"));
  EXPECT_EQ(0, child.Wait());
}

TEST_F(QORRegistryWatchTest, ReaderNeverSeesHalfAValue) {
  qortest::ChildProcess child;
  ASSERT_TRUE(child.Start("registry-rewriter"));
  ASSERT_TRUE(child.WaitFor("ready"));
  int seen[3] = {0, 0, 0};
  int torn = 0;
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(700);
  while (std::chrono::steady_clock::now() < end) {
    uint32_t type = 0;
    std::vector<uint8_t> data;
    const uint32_t result = key_.QueryValue(L"blob", &type, &data);
    if (result == ERROR_FILE_NOT_FOUND) continue;  // before the first write only
    ASSERT_EQ(ERROR_SUCCESS, result);
    if (type == REG_BINARY && data == kLong) {
      ++seen[0];
    } else if (type == REG_BINARY && data == kShort) {
      ++seen[1];
    } else if (type == REG_SZ && data == kText) {
      ++seen[2];
    } else {
      ++torn;
    }
  }
  EXPECT_TRUE(child.WaitFor("done"));
  EXPECT_EQ(0, child.Wait());
  EXPECT_EQ(0, torn);
  // The reads overlapped the writes.
  EXPECT_GT(seen[0], 0);
  EXPECT_GT(seen[1], 0);
  EXPECT_GT(seen[2], 0);
}

}  // namespace
