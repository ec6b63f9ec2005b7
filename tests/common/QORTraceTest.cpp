#include <gtest/gtest.h>

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

TEST(QORTrace, ManyThreadsNeverBlockAndEveryAcceptedLineArrivesWhole) {
  qortest::TraceCapture capture;
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
  // Lines of one thread keep their order.
  std::vector<int> last(kThreads, -1);
  for (const auto& line : lines) {
    int t = -1;
    int i = -1;
    ASSERT_EQ(std::sscanf(line.c_str(),
                          "QORAPOProcessManager(42) | QORAPOProcessManager::Process | "
                          "thread %d line %d",
                          &t, &i),
              2)
        << line;
    EXPECT_GT(i, last[t]);
    last[t] = i;
  }
}

}  // namespace
