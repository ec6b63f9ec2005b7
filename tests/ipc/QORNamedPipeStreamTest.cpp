// The capture pipe across processes: a writer process streams, reader processes at their own
// rates receive it through the marshall, as a render-side manager would.
#include <gtest/gtest.h>

#include <signal.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <numbers>
#include <string>
#include <thread>
#include <vector>

#include "ChildProcess.h"
#include "TempStateRoot.h"
#include "audio/QORAudioDataFloat.h"
#include "ipc/QORNamedPipeMarshall.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr double kToneHz = 1000.0;
constexpr float kToneAmplitude = 0.25f;
// Ramp values n * 2^-20 are exact floats; the second writer starts at 2.0.
constexpr double kRampStep = 1.0 / 1048576.0;

int64_t NowNs() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch())
      .count();
}

// Streams 10 ms periods at the given rate until killed: "tone" is a stereo 1 kHz tone on both
// channels, "ramp <first>" a mono ramp from first * 2^-20 up.
int WriterChild(const std::vector<std::string>& args) {
  const uint32_t rate = static_cast<uint32_t>(std::stoul(args.at(0)));
  const bool tone = args.at(1) == "tone";
  double ramp = tone ? 0.0 : std::stod(args.at(2));
  QORNamedPipeMarshall marshall;
  marshall.Init(rate, false);
  marshall.SetRunning(marshall.GetPipe().StartThread());
  if (!marshall.IsRunning()) return 1;
  qortest::ChildSay("started " + std::to_string(NowNs()));
  const uint32_t frames = rate / 100;
  const uint32_t channels = tone ? 2 : 1;
  QORAudioDataFloat period;
  uint64_t n = 0;
  auto next = Clock::now();
  for (;;) {
    period.Init(frames, channels, rate);
    float* samples = period.GetSamples(true, true);
    for (uint32_t f = 0; f < frames; ++f, ++n) {
      for (uint32_t c = 0; c < channels; ++c) {
        samples[f * channels + c] =
            tone ? kToneAmplitude * static_cast<float>(std::sin(2.0 * std::numbers::pi * kToneHz *
                                                                static_cast<double>(n) / rate))
                 : static_cast<float>(ramp * kRampStep);
      }
      ramp += 1.0;
    }
    marshall.Write(period);
    next += std::chrono::milliseconds(10);
    std::this_thread::sleep_until(next);
  }
}
qortest::ChildRegistration writer("pipe-stream-writer", &WriterChild);

struct Capture {
  std::vector<float> samples;
  std::vector<uint32_t> overruns;  // overruns and FIFO drops after each period
  std::vector<int64_t> periodEnd;  // when each period was read
  int64_t maxReadNs = 0;
  uint32_t droppedMessages = 0;
  uint32_t droppedSamples = 0;
};

// Reads 10 ms periods at its rate for the given seconds, then reports what it measured.
Capture ReadFor(QORNamedPipeMarshall& marshall, uint32_t rate, double seconds) {
  Capture capture;
  const uint32_t frames = rate / 100;
  const size_t periods = static_cast<size_t>(seconds * 100);
  capture.samples.reserve(periods * frames);
  QORAudioDataFloat period;
  auto next = Clock::now();
  for (size_t p = 0; p < periods; ++p) {
    period.Init(frames, 2, rate);
    period.GetSamples(true, true);
    const auto start = Clock::now();
    marshall.Read(period);
    capture.maxReadNs = std::max<int64_t>(capture.maxReadNs, (Clock::now() - start).count());
    capture.periodEnd.push_back(NowNs());
    const float* planar = period.GetSamples(false, false);
    capture.samples.insert(capture.samples.end(), planar, planar + frames);
    // A run breaks where the stream ran short or the FIFO was cut back.
    capture.overruns.push_back(marshall.GetOverrunCount() + marshall.GetFifoDropCount());
    next += std::chrono::milliseconds(10);
    std::this_thread::sleep_until(next);
  }
  capture.droppedMessages = marshall.GetPipe().GetDroppedMessages();
  capture.droppedSamples = marshall.GetPipe().GetDroppedSamples();
  return capture;
}

// Frequency (rising zero crossings, interpolated) and level (RMS as a sine's peak) over the longest
// run of periods that neither ran short nor held silence, skipping its first 10 periods.
void MeasureTone(const Capture& capture, uint32_t rate, double* hz, double* peak, double* span) {
  const size_t frames = rate / 100;
  size_t bestStart = 0, bestLength = 0, start = 0;
  for (size_t p = 1; p <= capture.overruns.size(); ++p) {
    bool broken = p == capture.overruns.size() || capture.overruns[p] != capture.overruns[p - 1];
    if (!broken) {
      const float* s = &capture.samples[p * frames];
      broken = std::all_of(s, s + frames, [](float v) { return v == 0.0f; });
    }
    if (broken) {
      if (p - start > bestLength) {
        bestStart = start;
        bestLength = p - start;
      }
      start = p + 1;
    }
  }
  *hz = *peak = *span = 0.0;
  if (bestLength < 40) return;
  const size_t first = (bestStart + 10) * frames;
  const size_t last = (bestStart + bestLength) * frames;
  double firstCrossing = -1, lastCrossing = -1, sum = 0;
  int crossings = 0;
  for (size_t i = first; i < last; ++i) sum += double(capture.samples[i]) * capture.samples[i];
  for (size_t i = first + 1; i < last; ++i) {
    const double a = capture.samples[i - 1], b = capture.samples[i];
    if (a < 0.0 && b >= 0.0) {
      const double t = double(i - 1) + (-a) / (b - a);
      if (firstCrossing < 0) firstCrossing = t;
      lastCrossing = t;
      ++crossings;
    }
  }
  if (crossings < 2) return;
  *hz = (crossings - 1) / (lastCrossing - firstCrossing) * rate;
  *peak = std::sqrt(sum / double(last - first)) * std::sqrt(2.0);
  *span = double(last - first) / rate;
}

int ToneReaderChild(const std::vector<std::string>& args) {
  const uint32_t rate = static_cast<uint32_t>(std::stoul(args.at(0)));
  QORNamedPipeMarshall marshall;
  marshall.Init(0, true);
  marshall.SetRunning(marshall.GetPipe().StartThread());
  if (!marshall.IsRunning()) return 1;
  qortest::ChildSay("ready");
  std::string line;
  if (!qortest::ChildHear(line)) return 2;
  const Capture capture = ReadFor(marshall, rate, 3.0);
  double hz, peak, span;
  MeasureTone(capture, rate, &hz, &peak, &span);
  char text[200];
  std::snprintf(text, sizeof(text), "tone %.4f %.6f %.3f %u %u", hz, peak, span,
                marshall.GetPipe().GetRate(), capture.droppedMessages);
  qortest::ChildSay(text);
  return 0;
}
qortest::ChildRegistration toneReader("pipe-tone-reader", &ToneReaderChild);

TEST(QORNamedPipeStream, TwoReadersReceiveTheWritersToneAtTheirOwnRates) {
  qortest::TempStateRoot root;
  const uint32_t rates[] = {44100, 48000};
  qortest::ChildProcess readers[2];
  for (int i = 0; i < 2; ++i) {
    ASSERT_TRUE(readers[i].Start("pipe-tone-reader", {std::to_string(rates[i])}));
    ASSERT_TRUE(readers[i].WaitFor("ready"));
  }
  qortest::ChildProcess writerProcess;
  ASSERT_TRUE(writerProcess.Start("pipe-stream-writer", {"48000", "tone"}));
  std::string line;
  ASSERT_TRUE(writerProcess.ReadLine(line));
  ASSERT_EQ(line.rfind("started ", 0), 0u);
  for (auto& reader : readers) ASSERT_TRUE(reader.SendLine("go"));
  // The fold of two equal channels: (L + R) * 0.707.
  const double expectedPeak = 2.0 * kToneAmplitude * 0.707;
  for (int i = 0; i < 2; ++i) {
    ASSERT_TRUE(readers[i].ReadLine(line, 30000)) << rates[i];
    double hz = 0, peak = 0, span = 0;
    unsigned streamRate = 0, dropped = 0;
    ASSERT_EQ(std::sscanf(line.c_str(), "tone %lf %lf %lf %u %u", &hz, &peak, &span, &streamRate,
                          &dropped),
              5)
        << line;
    SCOPED_TRACE(line);
    std::printf("reader %u: %s\n", rates[i], line.c_str());
    EXPECT_EQ(streamRate, 48000u);
    EXPECT_EQ(dropped, 0u);
    EXPECT_GE(span, 0.5);
    EXPECT_NEAR(hz, kToneHz, 1.0);
    EXPECT_NEAR(20.0 * std::log10(peak / expectedPeak), 0.0, 0.5);
    EXPECT_EQ(readers[i].Wait(), 0);
  }
}

// Reads ramps for the given seconds and reports the received non-zero values in order with the
// time of the period each came in, as "v <period> <value>" lines, then "end <maxReadNs>".
int RampReaderChild(const std::vector<std::string>& args) {
  const uint32_t rate = static_cast<uint32_t>(std::stoul(args.at(0)));
  const double seconds = std::stod(args.at(1));
  QORNamedPipeMarshall marshall;
  marshall.Init(0, true);
  marshall.SetRunning(marshall.GetPipe().StartThread());
  if (!marshall.IsRunning()) return 1;
  qortest::ChildSay("ready");
  const Capture capture = ReadFor(marshall, rate, seconds);
  const size_t frames = rate / 100;
  // Runs of values are summarised: the parent checks order, steps and what lies between.
  std::string out;
  char text[160];
  for (size_t i = 0; i < capture.samples.size(); ++i) {
    const float v = capture.samples[i];
    if (v == 0.0f) continue;
    std::snprintf(text, sizeof(text), "v %zu %lld %.9g\n", i,
                  (long long)capture.periodEnd[i / frames], double(v));
    out += text;
  }
  std::fputs(out.c_str(), stdout);
  std::snprintf(text, sizeof(text), "end %lld %zu %u", (long long)capture.maxReadNs,
                capture.samples.size(), capture.droppedSamples);
  qortest::ChildSay(text);
  return 0;
}
qortest::ChildRegistration rampReader("pipe-ramp-reader", &RampReaderChild);

struct Received {
  size_t index;
  int64_t when;
  double value;
};

bool Collect(qortest::ChildProcess& reader, std::vector<Received>& values, int64_t* maxReadNs,
             size_t* total, unsigned* droppedSamples) {
  std::string line;
  while (reader.ReadLine(line, 30000)) {
    Received r{};
    long long when = 0;
    if (std::sscanf(line.c_str(), "v %zu %lld %lf", &r.index, &when, &r.value) == 3) {
      r.when = when;
      values.push_back(r);
      continue;
    }
    long long maxRead = 0;
    if (std::sscanf(line.c_str(), "end %lld %zu %u", &maxRead, total, droppedSamples) == 3) {
      *maxReadNs = maxRead;
      return true;
    }
  }
  return false;
}

TEST(QORNamedPipeStream, AKilledWriterDrainsToSilenceAndANewWriterIsHeardWithoutRestart) {
  qortest::TempStateRoot root;
  const uint32_t rates[] = {48000, 44100};
  qortest::ChildProcess readers[2];
  for (int i = 0; i < 2; ++i) {
    ASSERT_TRUE(readers[i].Start("pipe-ramp-reader", {std::to_string(rates[i]), "4"}));
    ASSERT_TRUE(readers[i].WaitFor("ready"));
  }
  std::string line;
  {
    qortest::ChildProcess first;
    ASSERT_TRUE(first.Start("pipe-stream-writer", {"48000", "ramp", "1"}));
    ASSERT_TRUE(first.ReadLine(line));
    std::this_thread::sleep_for(std::chrono::milliseconds(1000));
    ASSERT_TRUE(first.Kill(SIGKILL));
    first.Wait();
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(700));
  qortest::ChildProcess second;
  ASSERT_TRUE(second.Start("pipe-stream-writer", {"48000", "ramp", "2097152"}));
  ASSERT_TRUE(second.ReadLine(line));
  long long secondStart = 0;
  ASSERT_EQ(std::sscanf(line.c_str(), "started %lld", &secondStart), 1);

  for (int r = 0; r < 2; ++r) {
    SCOPED_TRACE(rates[r]);
    std::vector<Received> values;
    int64_t maxReadNs = 0;
    size_t total = 0;
    unsigned droppedSamples = 0;
    ASSERT_TRUE(Collect(readers[r], values, &maxReadNs, &total, &droppedSamples));
    // Never a stalled period: every Read is a copy, whatever the writer does.
    EXPECT_LT(maxReadNs, 20'000'000);
    EXPECT_EQ(total, size_t(rates[r]) * 4);
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
      auto step = [&](size_t i) {
        const long advance = std::lround((values[i].value - values[i - 1].value) / kRampStep);
        EXPECT_GE(advance, 1) << i;
        skipped += std::max(advance - 1, 0L);
      };
      for (size_t i = 1; i < gapAt; ++i) step(i);
      for (size_t i = split + 1; i < values.size(); ++i) step(i);
      EXPECT_LE(skipped, long(droppedSamples));
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
    EXPECT_EQ(readers[r].Wait(), 0);
  }
}

}  // namespace
