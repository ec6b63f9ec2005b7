// The capture pipe across processes: writer processes stream, reader processes at their own rates
// receive it through the marshall, as a render-side manager would.
#include <gtest/gtest.h>

#include <signal.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <numbers>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "AllocationCounter.h"
#include "ChildProcess.h"
#include "TempStateRoot.h"
#include "audio/QORAudioDataFloat.h"
#include "ipc/QORNamedPipeMarshall.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr double kToneHz = 1000.0;
constexpr float kToneAmplitude = 0.25f;
// Ramp values n * 2^-20 are exact floats. The tone rides on 2.0, so it stands apart from the ramp.
constexpr double kRampStep = 1.0 / 1048576.0;

int64_t NowNs() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch())
      .count();
}

// Streams 10 ms periods at 48000 Hz until killed: "tone" is a stereo 1 kHz tone on both channels,
// "ramp" a mono ramp from 2^-20 up.
int WriterChild(const std::vector<std::string>& args) {
  const bool tone = args.at(0) == "tone";
  const uint32_t channels = tone ? 2 : 1;
  QORNamedPipeMarshall marshall;
  marshall.Init(48000, false);
  marshall.SetRunning(marshall.GetPipe().StartThread());
  if (!marshall.IsRunning()) return 1;
  qortest::ChildSay("started " + std::to_string(NowNs()));
  QORAudioDataFloat period;
  auto next = Clock::now();
  for (uint64_t n = 0;; next += std::chrono::milliseconds(10)) {
    period.Init(480, channels, 48000);
    float* samples = period.GetSamples(true, true);
    for (uint32_t f = 0; f < 480; ++f, ++n) {
      const double t = static_cast<double>(n) / 48000;
      for (uint32_t c = 0; c < channels; ++c) {
        samples[f * channels + c] =
            tone ? 2.0f + kToneAmplitude *
                              static_cast<float>(std::sin(2 * std::numbers::pi * kToneHz * t))
                 : static_cast<float>((n + 1) * kRampStep);
      }
    }
    marshall.Write(period);
    std::this_thread::sleep_until(next);
  }
}
qortest::ChildRegistration writer("pipe-stream-writer", &WriterChild);

// Reads 10 ms periods at its rate for 4 s, then reports each as "p <end ns> <short or cut reads so
// far> <side-chain samples...>", then "end <slowest read ns> <allocations in steady reads> <dropped
// samples> <dropped messages> <stream rate>".
int ReaderChild(const std::vector<std::string>& args) {
  const uint32_t rate = static_cast<uint32_t>(std::stoul(args.at(0)));
  const uint32_t frames = rate / 100;
  QORNamedPipeMarshall marshall;
  marshall.Init(0, true);
  marshall.SetRunning(marshall.GetPipe().StartThread());
  if (!marshall.IsRunning()) return 1;
  qortest::ChildSay("ready");
  std::vector<float> samples(400 * frames);
  std::vector<int64_t> ends(400);
  std::vector<uint32_t> breaks(400);
  int64_t slowest = 0;
  uint64_t allocations = 0;
  int rated = 0;
  QORAudioDataFloat period;
  auto next = Clock::now();
  for (size_t p = 0; p < 400; ++p) {
    period.Init(frames, 2, rate);
    period.GetSamples(true, true);
    // Steady once the stream's converter was set up by the reads after the rate became known.
    rated = marshall.GetPipe().GetRate() != 0 ? rated + 1 : 0;
    const bool steady = rated > 10;
    const qortest::AllocationScope scope;
    const auto start = Clock::now();
    marshall.Read(period);
    slowest = std::max<int64_t>(slowest, (Clock::now() - start).count());
    allocations += steady ? scope.Count() : 0;
    ends[p] = NowNs();
    std::copy_n(period.GetSamples(false, false), frames, &samples[p * frames]);
    breaks[p] = marshall.GetOverrunCount() + marshall.GetFifoDropCount();
    next += std::chrono::milliseconds(10);
    std::this_thread::sleep_until(next);
  }
  for (size_t p = 0; p < 400; ++p) {
    std::string line = "p " + std::to_string(ends[p]) + " " + std::to_string(breaks[p]);
    char text[32];
    for (size_t i = p * frames; i < (p + 1) * frames; ++i) {
      std::snprintf(text, sizeof(text), " %.9g", samples[i]);
      line += text;
    }
    qortest::ChildSay(line);
  }
  qortest::ChildSay("end " + std::to_string(slowest) + " " + std::to_string(allocations) + " " +
                    std::to_string(marshall.GetPipe().GetDroppedSamples()) + " " +
                    std::to_string(marshall.GetPipe().GetDroppedMessages()) + " " +
                    std::to_string(marshall.GetPipe().GetRate()));
  return 0;
}
qortest::ChildRegistration reader("pipe-stream-reader", &ReaderChild);

struct Capture {
  std::vector<float> samples;
  std::vector<int64_t> ends;     // when each period was read
  std::vector<uint32_t> breaks;  // overruns and FIFO drops after each period
  int64_t slowestReadNs = -1;
  uint64_t allocations = 0;
  unsigned droppedSamples = 0, droppedMessages = 0, rate = 0;
};

bool Collect(qortest::ChildProcess& reader, Capture& c) {
  std::string line;
  while (reader.ReadLine(line, 30000)) {
    std::istringstream in(line);
    std::string tag;
    in >> tag;
    if (tag == "end") {
      in >> c.slowestReadNs >> c.allocations >> c.droppedSamples >> c.droppedMessages >> c.rate;
      return !in.fail();
    }
    c.ends.emplace_back();
    c.breaks.emplace_back();
    in >> c.ends.back() >> c.breaks.back();
    for (float v; in >> v;) c.samples.push_back(v);
  }
  return false;
}

// Frequency (rising crossings of the mean, interpolated) and level (RMS as a sine's peak) over the
// longest run of periods from `from` on that neither ran short nor held silence, less its first 10.
void MeasureTone(const Capture& c, size_t from, double* hz, double* peak, double* span) {
  const size_t frames = c.samples.size() / c.ends.size();
  size_t bestStart = 0, bestLength = 0, start = from;
  for (size_t p = from + 1; p <= c.ends.size(); ++p) {
    bool broken = p == c.ends.size() || c.breaks[p] != c.breaks[p - 1];
    if (!broken) {
      const float* s = &c.samples[p * frames];
      broken = std::all_of(s, s + frames, [](float v) { return v == 0.0f; });
    }
    if (broken && p - start > bestLength) {
      bestStart = start;
      bestLength = p - start;
    }
    if (broken) start = p + 1;
  }
  *hz = *peak = *span = 0.0;
  if (bestLength < 40) return;
  const size_t first = (bestStart + 10) * frames;
  const size_t last = (bestStart + bestLength) * frames;
  double mean = 0, sum = 0, firstCrossing = -1, lastCrossing = -1;
  int crossings = 0;
  for (size_t i = first; i < last; ++i) mean += c.samples[i] / double(last - first);
  for (size_t i = first; i < last; ++i) sum += std::pow(c.samples[i] - mean, 2);
  for (size_t i = first + 1; i < last; ++i) {
    const double a = c.samples[i - 1] - mean, b = c.samples[i] - mean;
    if (a < 0.0 && b >= 0.0) {
      lastCrossing = double(i - 1) + (-a) / (b - a);
      if (firstCrossing < 0) firstCrossing = lastCrossing;
      ++crossings;
    }
  }
  if (crossings < 2) return;
  const double rate = frames * 100.0;
  *hz = (crossings - 1) / (lastCrossing - firstCrossing) * rate;
  *peak = std::sqrt(sum / double(last - first)) * std::sqrt(2.0);
  *span = double(last - first) / rate;
}

// Two readers in two processes hear a ramp writer; it is killed, and a tone writer that starts
// later is heard without restarting them.
TEST(QORNamedPipeStream, AKilledWriterDrainsToSilenceAndANewWritersToneReachesBothRates) {
  qortest::TempStateRoot root;
  const uint32_t rates[] = {48000, 44100};
  qortest::ChildProcess readers[2];
  for (int i = 0; i < 2; ++i) {
    ASSERT_TRUE(readers[i].Start("pipe-stream-reader", {std::to_string(rates[i])}));
    ASSERT_TRUE(readers[i].WaitFor("ready"));
  }
  std::string line;
  {
    qortest::ChildProcess first;
    ASSERT_TRUE(first.Start("pipe-stream-writer", {"ramp"}));
    ASSERT_TRUE(first.ReadLine(line));
    std::this_thread::sleep_for(std::chrono::milliseconds(1000));
    ASSERT_TRUE(first.Kill(SIGKILL));
    first.Wait();
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(700));
  qortest::ChildProcess second;
  ASSERT_TRUE(second.Start("pipe-stream-writer", {"tone"}));
  ASSERT_TRUE(second.ReadLine(line));
  long long secondStart = 0;
  ASSERT_EQ(std::sscanf(line.c_str(), "started %lld", &secondStart), 1);

  for (int r = 0; r < 2; ++r) {
    SCOPED_TRACE(rates[r]);
    Capture capture;
    ASSERT_TRUE(Collect(readers[r], capture));
    // Never a stalled period: every Read is a copy, whatever the writer does.
    EXPECT_LT(capture.slowestReadNs, 20'000'000);
    EXPECT_EQ(capture.allocations, 0u);
    EXPECT_EQ(capture.samples.size(), size_t(rates[r]) * 4);
    struct Received {
      size_t index;
      int64_t when;
      double value;
    };
    std::vector<Received> values;
    for (size_t i = 0; i < capture.samples.size(); ++i) {
      if (capture.samples[i] != 0.0f) {
        values.push_back({i, capture.ends[i / (rates[r] / 100)], capture.samples[i]});
      }
    }
    // The first writer's values, then silence, then the second writer's.
    ASSERT_GT(values.size(), 200u);
    size_t gapAt = 1;
    size_t gap = 0;
    for (size_t i = 1; i < values.size(); ++i) {
      if (values[i].index - values[i - 1].index > gap) {
        gap = values[i].index - values[i - 1].index;
        gapAt = i;
      }
    }
    EXPECT_GT(gap, size_t(rates[r]) / 4) << "no silence between the writers";
    ASSERT_GT(gapAt, 100u);
    size_t split = gapAt;
    while (split < values.size() && values[split].value < 1.5) ++split;
    ASSERT_LT(split, values.size());
    for (size_t i = 0; i < gapAt; ++i) ASSERT_LT(values[i].value, 1.5) << i;
    for (size_t i = split; i < values.size(); ++i) EXPECT_GT(values[i].value, 1.5) << i;
    if (rates[r] == 48000) {
      // Same rate: every sample at most once and in order, across underruns and the writer's
      // death. A reader that fell behind (a loaded machine) drops the oldest samples rather than
      // lag; every sample skipped must be one it counted as dropped.
      EXPECT_EQ(split, gapAt);
      long skipped = 0;
      for (size_t i = 1; i < gapAt; ++i) {
        const long advance = std::lround((values[i].value - values[i - 1].value) / kRampStep);
        EXPECT_GE(advance, 1) << i;
        skipped += std::max(advance - 1, 0L);
      }
      EXPECT_LE(skipped, long(capture.droppedSamples));
    } else {
      // Converted: the first writer's ramp only rises. After the silence only the converter's
      // own tail of it comes out, continuing it, before the second writer's values.
      double highest = 0.0;
      for (size_t i = 0; i < gapAt; ++i) {
        EXPECT_GT(values[i].value, highest - 1e-4) << i;
        highest = std::max(highest, values[i].value);
      }
      EXPECT_LE(split - gapAt, 300u);
      for (size_t i = gapAt; i < split; ++i) EXPECT_GT(values[i].value, highest - 0.2) << i;
    }
    const double reconnectMs = (values[split].when - secondStart) / 1e6;
    std::printf("reader %u: reconnect to the second writer's audio %.1f ms\n", rates[r],
                reconnectMs);
    EXPECT_LT(reconnectMs, 1000.0);

    // The fold of two equal channels: (L + R) * 0.707.
    const double expectedPeak = 2.0 * kToneAmplitude * 0.707;
    double hz = 0, peak = 0, span = 0;
    MeasureTone(capture, values[split].index / (rates[r] / 100), &hz, &peak, &span);
    std::printf("reader %u: %.4f Hz, peak %.6f over %.3f s\n", rates[r], hz, peak, span);
    EXPECT_EQ(capture.rate, 48000u);
    EXPECT_EQ(capture.droppedMessages, 0u);
    EXPECT_GE(span, 0.5);
    EXPECT_NEAR(hz, kToneHz, 1.0);
    EXPECT_NEAR(20.0 * std::log10(peak / expectedPeak), 0.0, 0.5);
    EXPECT_EQ(readers[r].Wait(), 0);
  }
}

}  // namespace
