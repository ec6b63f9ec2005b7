#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "TraceCapture.h"
#include "common/QORTrace.h"
#include "common/QORTraceLog.h"

namespace {

const QORTracePoint kPoint{"QORAPOProcessManager", 42, "QORAPOProcessManager::Process"};

TEST(QORTrace, LinesCarryTheirPointAndAreCutAtTheLineBuffer) {
  qortest::TraceCapture capture;
  QORTrace(kPoint, "was stale for %d ms , APO location=%d\n", 301, 3);
  QORTraceW(kPoint, L"wide %ls %d\n", L"caf\u00e9", 7);
  QORTrace(kPoint, "%s", std::string(40000, 'x').c_str());
  QORTraceW(kPoint, L"%ls", std::wstring(40000, L'y').c_str());
  const auto lines = capture.Lines();
  ASSERT_EQ(lines.size(), 4u);
  EXPECT_EQ(lines[0],
            "QORAPOProcessManager(42) | QORAPOProcessManager::Process | was stale for 301 ms , APO "
            "location=3\n");
  EXPECT_EQ(lines[1],
            "QORAPOProcessManager(42) | QORAPOProcessManager::Process | wide caf\xC3\xA9 7\n");
  EXPECT_EQ(lines[2].size(), static_cast<size_t>(kQORTraceLineChars - 1));
  EXPECT_EQ(lines[2].back(), 'x');
  EXPECT_EQ(lines[3].size(), static_cast<size_t>(kQORTraceLineChars - 1));
  EXPECT_EQ(lines[3].back(), 'y');
}

TEST(QORTrace, ThreadsThatWaitForTheLoggerLoseNoLine) {
  qortest::TraceCapture capture;
  capture.Lines();
  const uint64_t droppedBefore = QORTraceLog::Instance().GetDroppedCount();
  constexpr int kThreads = 4;
  constexpr int kBatches = 20;
  constexpr int kBatch = 8;  // four threads' batches together stay far below the queue's size
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([t] {
      for (int b = 0; b < kBatches; ++b) {
        for (int i = 0; i < kBatch; ++i) QORTrace(kPoint, "thread %d line %d", t, b * kBatch + i);
        QORTraceLog::Instance().Flush();
      }
    });
  }
  for (auto& thread : threads) thread.join();
  const auto lines = capture.Lines();
  EXPECT_EQ(QORTraceLog::Instance().GetDroppedCount(), droppedBefore);
  ASSERT_EQ(lines.size(), static_cast<size_t>(kThreads * kBatches * kBatch));
  // Each thread's lines arrive whole and in their order.
  for (int t = 0; t < kThreads; ++t) {
    const std::string head = "QORAPOProcessManager(42) | QORAPOProcessManager::Process | thread " +
                             std::to_string(t) + " line ";
    std::vector<std::string> mine;
    std::vector<std::string> expected;
    for (const auto& line : lines) {
      if (line.find(head) == 0) mine.push_back(line);
    }
    for (int i = 0; i < kBatches * kBatch; ++i) expected.push_back(head + std::to_string(i));
    EXPECT_EQ(mine, expected);
  }
}

}  // namespace
