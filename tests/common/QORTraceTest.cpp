#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "TraceCapture.h"
#include "common/QORTrace.h"
#include "common/QORTraceLog.h"

namespace {

const QORTracePoint kPoint{"QORAPOProcessManager", 42, "QORAPOProcessManager::Process"};

TEST(QORTrace, LineHasFileLineFunctionPrefixAndFormattedMessage) {
  qortest::TraceCapture capture;
  QORTrace(kPoint, "was stale for %d ms , APO location=%d\n", 301, 3);
  QORTraceW(kPoint, L"wide %ls %d\n", L"caf\u00e9", 7);
  const auto lines = capture.Lines();
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0],
            "QORAPOProcessManager(42) | QORAPOProcessManager::Process | was stale for 301 ms , APO "
            "location=3\n");
  EXPECT_EQ(lines[1],
            "QORAPOProcessManager(42) | QORAPOProcessManager::Process | wide caf\xC3\xA9 7\n");
}

TEST(QORTrace, LongMessagesAreCutAtTheLineBuffer) {
  qortest::TraceCapture capture;
  const std::string longText(40000, 'x');
  QORTrace(kPoint, "%s", longText.c_str());
  QORTraceW(kPoint, L"%ls", std::wstring(40000, L'y').c_str());
  const auto lines = capture.Lines();
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0].size(), static_cast<size_t>(kQORTraceLineChars - 1));
  EXPECT_EQ(lines[0].back(), 'x');
  EXPECT_EQ(lines[1].size(), static_cast<size_t>(kQORTraceLineChars - 1));
  EXPECT_EQ(lines[1].back(), 'y');
}

// Parses "thread t line i" lines and checks that each thread's lines keep their order; returns
// how many lines each thread got through.
std::vector<int> CheckOrderPerThread(const std::vector<std::string>& lines, int threads) {
  std::vector<int> last(threads, -1);
  std::vector<int> count(threads, 0);
  for (const auto& line : lines) {
    int t = -1;
    int i = -1;
    const int fields = std::sscanf(line.c_str(),
                                   "QORAPOProcessManager(42) | QORAPOProcessManager::Process | "
                                   "thread %d line %d",
                                   &t, &i);
    EXPECT_EQ(fields, 2) << line;
    if (fields != 2 || t < 0 || t >= threads) continue;
    EXPECT_GT(i, last[t]) << line;
    last[t] = i;
    ++count[t];
  }
  return count;
}

TEST(QORTrace, ManyThreadsNeverBlockAndEveryAcceptedLineArrivesWhole) {
  qortest::TraceCapture capture;
  capture.Lines();  // starts from an empty queue
  const uint64_t droppedBefore = QORTraceLog::Instance().GetDroppedCount();
  constexpr int kThreads = 4;
  constexpr int kLines = 500;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([t] {
      for (int i = 0; i < kLines; ++i) QORTrace(kPoint, "thread %d line %d", t, i);
    });
  }
  for (auto& thread : threads) thread.join();
  const auto lines = capture.Lines();
  const uint64_t dropped = QORTraceLog::Instance().GetDroppedCount() - droppedBefore;
  EXPECT_EQ(lines.size() + dropped, static_cast<size_t>(kThreads * kLines));
  // Lines are dropped only when the queue is full, and it started empty: at least the first 64
  // lines posted (well under its size) were accepted and must have arrived.
  EXPECT_GE(lines.size(), 64u);
  CheckOrderPerThread(lines, kThreads);
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
  EXPECT_EQ(CheckOrderPerThread(lines, kThreads), std::vector<int>(kThreads, kBatches * kBatch));
}

}  // namespace
