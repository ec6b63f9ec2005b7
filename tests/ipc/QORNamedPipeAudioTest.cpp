// The capture pipe and its marshall, alone and between writer and reader processes.
#include "ipc/QORNamedPipeAudio.h"

#include <gtest/gtest.h>

#include <signal.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cmath>
#include <cstring>
#include <fstream>
#include <limits>
#include <memory>
#include <numbers>
#include <string>
#include <thread>
#include <vector>

#include "ChildProcess.h"
#include "TempStateRoot.h"
#include "audio/QORAudioDataFloat.h"
#include "ipc/QORNamedPipeMarshall.h"
#include "platform/IQORPipeClient.h"

namespace {

using Clock = std::chrono::steady_clock;
using Pipe = QORNamedPipeAudio;

// A whole message of count samples at rate; sample i is first + i * step.
std::vector<unsigned char> Message(uint32_t count, uint32_t rate, float first = 1.0f,
                                   float step = 1.0f) {
  std::vector<unsigned char> message(Pipe::kMessageSize);
  std::memcpy(message.data(), &count, 4);
  std::memcpy(message.data() + 4, &rate, 4);
  for (uint32_t i = 0; i < Pipe::kMessageSamples; ++i) {
    const float sample = first + static_cast<float>(i) * step;
    std::memcpy(message.data() + 8 + i * 4, &sample, 4);
  }
  return message;
}

bool Accept(Pipe& pipe, const std::vector<unsigned char>& message) {
  return pipe.AcceptMessage(message.data(), message.size());
}

// A period of frames x channels at rate with every sample set to fill.
QORAudioDataFloat& Fill(QORAudioDataFloat& period, uint32_t frames, uint32_t channels,
                        uint32_t rate, float fill) {
  period.Init(frames, channels, rate);
  float* samples = period.GetSamples(true, true);
  std::fill(samples, samples + frames * channels, fill);
  return period;
}

// Each listed sample of samples against its literal.
void ExpectSamples(const float* samples, std::initializer_list<std::pair<size_t, float>> expected) {
  for (const auto& [index, value] : expected) EXPECT_EQ(samples[index], value) << "at " << index;
}

TEST(QORNamedPipeAudio, OnlyWholeMessagesOfOneSaneRateAndCountReachTheRingWhileItHasRoom) {
  Pipe pipe;
  pipe.Init(0, Pipe::kRoleReader);
  auto valid = Message(3, 16000);
  EXPECT_FALSE(pipe.AcceptMessage(valid.data(), Pipe::kMessageSize - 1));
  const std::pair<uint32_t, uint32_t> refused[] = {
      {481, 16000}, {0xFFFFFFFF, 16000}, {3, 0}, {3, Pipe::kMinRate - 1}, {3, Pipe::kMaxRate + 1}};
  for (auto [count, rate] : refused) EXPECT_FALSE(Accept(pipe, Message(count, rate))) << rate;
  EXPECT_EQ(pipe.GetDroppedMessages(), 6u);
  EXPECT_EQ(pipe.GetRate(), 0u);
  EXPECT_EQ(pipe.GetRingAvailable(), 0u);

  // The first good message fixes the rate; one of another rate is dropped whole.
  EXPECT_TRUE(Accept(pipe, valid));
  EXPECT_EQ(pipe.GetRate(), 16000u);
  EXPECT_FALSE(Accept(pipe, Message(5, 8000, 100.0f)));
  EXPECT_EQ(pipe.GetRate(), 16000u);
  EXPECT_TRUE(Accept(pipe, Message(480, 16000, 10.0f)));
  EXPECT_EQ(pipe.GetDroppedMessages(), 7u);
  std::vector<float> out(1000, -1.0f);
  ASSERT_EQ(pipe.ReadRing(out.data(), 1000), 483u);
  ExpectSamples(out.data(), {{0, 1.0f}, {2, 3.0f}, {3, 10.0f}, {482, 489.0f}, {483, -1.0f}});

  // Samples that are not numbers arrive as silence.
  auto message = Message(4, 16000);
  const float bad[] = {std::numeric_limits<float>::quiet_NaN(),
                       std::numeric_limits<float>::infinity(),
                       -std::numeric_limits<float>::infinity(), 0.5f};
  std::memcpy(message.data() + 8, bad, sizeof(bad));
  EXPECT_TRUE(Accept(pipe, message));
  ASSERT_EQ(pipe.ReadRing(out.data(), 1000), 4u);
  EXPECT_EQ(std::vector<float>(out.begin(), out.begin() + 4),
            (std::vector<float>{0.0f, 0.0f, 0.0f, 0.5f}));

  // A full ring drops sample for sample.
  for (int i = 0; i < 8; ++i) ASSERT_TRUE(Accept(pipe, Message(480, 16000, i * 1000.0f)));
  EXPECT_EQ(pipe.GetRingAvailable(), Pipe::kRingCapacity);
  EXPECT_TRUE(Accept(pipe, Message(480, 16000, 9000.0f)));
  EXPECT_EQ(pipe.GetDroppedSamples(), 480u);
  out.resize(Pipe::kRingCapacity);
  ASSERT_EQ(pipe.ReadRing(out.data(), 100), 100u);
  EXPECT_TRUE(Accept(pipe, Message(480, 16000, 20000.0f)));
  EXPECT_EQ(pipe.GetDroppedSamples(), 480u + 380u);
  ASSERT_EQ(pipe.ReadRing(out.data(), Pipe::kRingCapacity), Pipe::kRingCapacity);
  // The first message after the 100 read, the last of the eighth, the first 100 of the last one.
  ExpectSamples(out.data(), {{0, 100.0f},
                             {Pipe::kRingCapacity - 101, 7479.0f},
                             {Pipe::kRingCapacity - 100, 20000.0f},
                             {Pipe::kRingCapacity - 1, 20099.0f}});
}

TEST(QORNamedPipeMarshall, ReaderPadsAndCutsBackWriterSendsTheFoldAndDrainsWithNoReader) {
  qortest::TempStateRoot root;
  QORNamedPipeMarshall marshall;
  marshall.Init(0, true);
  marshall.SetRunning(true);
  QORAudioDataFloat period;
  ASSERT_TRUE(Accept(marshall.GetPipe(), Message(300, 48000)));
  EXPECT_EQ(marshall.Read(Fill(period, 480, 2, 48000, 0.5f)), 300u);
  ExpectSamples(period.GetSamples(false, false),
                {{0, 1.0f}, {299, 300.0f}, {300, 0.0f}, {479, 0.0f}, {480, 0.5f}, {959, 0.5f}});
  EXPECT_EQ(period.GetChannelMapEntry(0), kQORChannelRoleSideChain);
  EXPECT_EQ(marshall.GetOverrunCount(), 1u);

  // A stream arriving faster than played is cut back, not queued for ever.
  marshall.Init(0, true);
  uint32_t largest = 0;
  for (int p = 0; p < 400; ++p) {
    Accept(marshall.GetPipe(), Message(200, 16000, 0.25f, 0.0f));
    largest = std::max(largest, marshall.Read(Fill(period, 480, 1, 48000, 0.0f)));
  }
  EXPECT_GT(marshall.GetFifoDropCount(), 0u);
  EXPECT_LE(largest, 2u * 480u + QORNamedPipeMarshall::kLeadSamples);
  EXPECT_GT(marshall.GetPipe().GetDroppedSamples(), 0u);  // the ring filled up as well

  // A writer sends the fold of its period and leaves the period as it was.
  marshall.Init(48000, false);
  period.Init(4, 2, 48000);
  const float stereo[] = {0.5f, 0.25f, -1.0f, 1.0f, 0.1f, 0.3f, 1.0f, 1.0f};
  std::memcpy(period.GetSamples(true, true), stereo, sizeof(stereo));
  marshall.Write(period);
  EXPECT_EQ(std::memcmp(period.GetSamples(false, true), stereo, sizeof(stereo)), 0);
  float ring[8];
  ASSERT_EQ(marshall.GetPipe().ReadRing(ring, 8), 4u);
  for (int f = 0; f < 4; ++f) {
    EXPECT_EQ(ring[f], (stereo[2 * f] + stereo[2 * f + 1]) * 0.707f) << f;
  }

  // With no reader, the writer's thread keeps draining its ring: 480 + 480 + 40, sent to nobody.
  Pipe& writer = marshall.GetPipe();
  ASSERT_TRUE(writer.StartThread());
  std::vector<float> samples(1000, 0.5f);
  for (auto [count, messages] : {std::pair(1000u, 3u), std::pair(200u, 4u)}) {
    ASSERT_EQ(writer.WriteRing(samples.data(), count), count);
    const auto end = Clock::now() + std::chrono::seconds(5);
    while (writer.GetMessagesSent() != messages && Clock::now() < end) {
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    ASSERT_EQ(writer.GetMessagesSent(), messages);
  }
  EXPECT_EQ(writer.GetRingAvailable(), 0u);
  EXPECT_TRUE(writer.StopThread());
}

// An idle local client that takes the reader's only instance and sends nothing is dropped, so the
// real writer gets through, sample for sample; the idle client finds its connection broken.
TEST(QORNamedPipeAudio, AReaderDropsAClientThatSendsNothingSoTheWriterGetsThrough) {
  qortest::TempStateRoot root;
  Pipe reader;
  reader.Init(0, Pipe::kRoleReader);
  ASSERT_TRUE(reader.StartThread());
  std::unique_ptr<IQORPipeClient> idle = QORConnectPipe(Pipe::kPipeName, 0, Pipe::kMessageSize);
  ASSERT_NE(idle, nullptr);
  auto end = Clock::now() + std::chrono::seconds(10);
  while (reader.GetConnectedCount() != 1 && Clock::now() < end) {
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  ASSERT_EQ(reader.GetConnectedCount(), 1u);

  Pipe writer;
  writer.Init(16000, Pipe::kRoleWriter);
  ASSERT_TRUE(writer.StartThread());
  std::vector<float> period(160);
  float next = 1.0f;
  end = Clock::now() + std::chrono::seconds(20);
  while (reader.GetRingAvailable() < 1600 && Clock::now() < end) {
    for (float& sample : period) sample = next++;
    writer.WriteRing(period.data(), 160);
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  EXPECT_TRUE(writer.StopThread());
  std::vector<float> heard(Pipe::kRingCapacity);
  const uint32_t got = reader.ReadRing(heard.data(), Pipe::kRingCapacity);
  ASSERT_GE(got, 1600u) << "the writer never got the instance";
  // Messages sent while refused are lost; from the first one taken on, nothing is.
  for (uint32_t i = 1; i < got; ++i) ASSERT_EQ(heard[i], heard[i - 1] + 1.0f) << i;
  EXPECT_GE(reader.GetSilentWriters(), 1u);
  EXPECT_FALSE(idle->Write(Message(1, 16000).data(), 100));
  EXPECT_TRUE(reader.StopThread());
}

// Ramp values n * 2^-20 are exact floats. The tone rides on 2.0, so it stands apart from the ramp.
constexpr double kRampStep = 1.0 / 1048576.0;
constexpr size_t kReadPeriods = 400;

// Streams mono 10 ms periods at 48000 Hz until killed: a 1 kHz "tone", or a "ramp" from 2^-20 up.
int WriterChild(const std::vector<std::string>& args) {
  const bool tone = args.at(0) == "tone";
  QORNamedPipeMarshall marshall;
  marshall.Init(48000, false);
  marshall.SetRunning(marshall.GetPipe().StartThread());
  if (!marshall.IsRunning()) return 1;
  qortest::ChildSay("started " +
                    std::to_string(Clock::now().time_since_epoch() / std::chrono::nanoseconds(1)));
  QORAudioDataFloat period;
  auto next = Clock::now();
  for (uint64_t n = 0;; n += 480) {
    float* samples = Fill(period, 480, 1, 48000, 0.0f).GetSamples(true, true);
    for (uint32_t i = 0; i < 480; ++i) {
      samples[i] = static_cast<float>(tone ? 2.0 + 0.25 * std::sin(std::numbers::pi * (n + i) / 24)
                                           : (n + i + 1) * kRampStep);
    }
    marshall.Write(period);
    std::this_thread::sleep_until(next += std::chrono::milliseconds(10));
  }
}
qortest::ChildRegistration writerChild("pipe-stream-writer", &WriterChild);

// What a reader read, period by period, handed from the reader process to the test in a file.
struct Capture {
  std::array<float, kReadPeriods * 480> samples;  // the side chain
  std::array<int64_t, kReadPeriods> ends;         // when each period was read
  int64_t slowestReadNs = 0;
  uint32_t droppedSamples = 0, droppedMessages = 0, rate = 0;
};

bool Move(Capture& c, const std::string& rate, bool save) {
  const std::string path = std::string(std::getenv("QOR_ROOT")) + "/capture-" + rate;
  auto* bytes = reinterpret_cast<char*>(&c);
  return save ? std::ofstream(path, std::ios::binary).write(bytes, sizeof c).good()
              : std::ifstream(path, std::ios::binary).read(bytes, sizeof c).good();
}

// Reads 10 ms periods at its rate for 4 s, then leaves what it read in its capture file.
int ReaderChild(const std::vector<std::string>& args) {
  const uint32_t frames = static_cast<uint32_t>(std::stoul(args.at(0))) / 100;
  QORNamedPipeMarshall marshall;
  marshall.Init(0, true);
  marshall.SetRunning(marshall.GetPipe().StartThread());
  if (!marshall.IsRunning()) return 1;
  qortest::ChildSay("ready");
  static Capture c;  // too large for the stack
  QORAudioDataFloat period;
  auto next = Clock::now();
  for (size_t p = 0; p < kReadPeriods; ++p) {
    Fill(period, frames, 2, frames * 100, 0.0f);
    const auto start = Clock::now();
    marshall.Read(period);
    c.slowestReadNs = std::max<int64_t>(c.slowestReadNs, (Clock::now() - start).count());
    c.ends[p] = Clock::now().time_since_epoch() / std::chrono::nanoseconds(1);
    std::copy_n(period.GetSamples(false, false), frames, &c.samples[p * frames]);
    std::this_thread::sleep_until(next += std::chrono::milliseconds(10));
  }
  c.droppedSamples = marshall.GetPipe().GetDroppedSamples();
  c.droppedMessages = marshall.GetPipe().GetDroppedMessages();
  c.rate = marshall.GetPipe().GetRate();
  return Move(c, args[0], true) ? 0 : 2;
}
qortest::ChildRegistration readerChild("pipe-stream-reader", &ReaderChild);

// Two readers in two processes hear a ramp writer that is killed, then a tone writer that starts
// later, without a restart.
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
    ASSERT_TRUE(first.Start("pipe-stream-writer", {"ramp"}) && first.ReadLine(line));
    std::this_thread::sleep_for(std::chrono::milliseconds(1000));
    ASSERT_TRUE(first.Kill(SIGKILL));
    first.Wait();
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(700));
  qortest::ChildProcess second;
  ASSERT_TRUE(second.Start("pipe-stream-writer", {"tone"}) && second.ReadLine(line));
  const int64_t secondStart = std::stoll(line.substr(line.find(' ') + 1));

  for (int r = 0; r < 2; ++r) {
    SCOPED_TRACE(rates[r]);
    const size_t frames = rates[r] / 100;
    static Capture c;
    ASSERT_EQ(readers[r].Wait(), 0);
    ASSERT_TRUE(Move(c, std::to_string(rates[r]), false));
    // Never a stalled period: a Read that waited for the pipe would take one of its 100 ms waits.
    EXPECT_LT(c.slowestReadNs, 60'000'000);

    // The first writer's values, then silence, then the second writer's.
    std::vector<size_t> heard;  // where the samples that are not silence are
    for (size_t i = 0; i < kReadPeriods * frames; ++i) {
      if (c.samples[i] != 0.0f) heard.push_back(i);
    }
    ASSERT_GT(heard.size(), 200u);
    auto value = [&](size_t i) { return double(c.samples[heard[i]]); };
    size_t gapAt = 1;
    for (size_t i = 1; i < heard.size(); ++i) {
      if (heard[i] - heard[i - 1] > heard[gapAt] - heard[gapAt - 1]) gapAt = i;
    }
    EXPECT_GT(heard[gapAt] - heard[gapAt - 1], size_t(rates[r]) / 4)
        << "no silence between the writers";
    ASSERT_GT(gapAt, 100u);
    size_t split = gapAt;
    while (split < heard.size() && value(split) < 1.5) ++split;
    ASSERT_LT(split, heard.size());
    for (size_t i = 0; i < gapAt; ++i) ASSERT_LT(value(i), 1.5) << i;
    for (size_t i = split; i < heard.size(); ++i) EXPECT_GT(value(i), 1.5) << i;
    if (rates[r] == 48000) {
      // Same rate: every sample at most once and in order, across underruns and the writer's
      // death; a reader that fell behind drops the oldest samples, and counts them.
      EXPECT_EQ(split, gapAt);
      long skipped = 0;
      for (size_t i = 1; i < gapAt; ++i) {
        const long advance = std::lround((value(i) - value(i - 1)) / kRampStep);
        EXPECT_GE(advance, 1) << i;
        skipped += std::max(advance - 1, 0L);
      }
      EXPECT_LE(skipped, long(c.droppedSamples));
    } else {
      // Converted: the first writer's ramp only rises. After the silence at most the converter's
      // own tail of it comes out before the second writer's values.
      double highest = 0.0;
      for (size_t i = 0; i < gapAt; ++i) {
        EXPECT_GT(value(i), highest - 1e-4) << i;
        highest = std::max(highest, value(i));
      }
      EXPECT_LE(split - gapAt, 300u);
    }
    const double reconnectMs = (c.ends[heard[split] / frames] - secondStart) / 1e6;
    EXPECT_LT(reconnectMs, 1000.0);
    std::printf("reader %u: reconnect %.1f ms\n", rates[r], reconnectMs);
    EXPECT_EQ(c.rate, 48000u);
    EXPECT_EQ(c.droppedMessages, 0u);
  }
}

}  // namespace
