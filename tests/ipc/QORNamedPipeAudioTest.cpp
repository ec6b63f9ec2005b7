#include "ipc/QORNamedPipeAudio.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <limits>
#include <memory>
#include <thread>
#include <vector>

#include "TempStateRoot.h"
#include "TraceCapture.h"

namespace {

using Clock = std::chrono::steady_clock;
using Pipe = QORNamedPipeAudio;

std::vector<unsigned char> Message(uint32_t count, uint32_t rate, float first = 1.0f) {
  std::vector<unsigned char> message(Pipe::kMessageSize, 0xEE);
  std::memcpy(message.data(), &count, 4);
  std::memcpy(message.data() + 4, &rate, 4);
  for (uint32_t i = 0; i < Pipe::kMessageSamples; ++i) {
    const float sample = first + static_cast<float>(i);
    std::memcpy(message.data() + 8 + i * 4, &sample, 4);
  }
  return message;
}

bool Accept(Pipe& pipe, const std::vector<unsigned char>& message) {
  return pipe.AcceptMessage(message.data(), message.size());
}

// Polls a state the pipe thread changes, for at most timeoutMs.
template <typename Condition>
bool Within(int timeoutMs, Condition condition) {
  const auto end = Clock::now() + std::chrono::milliseconds(timeoutMs);
  while (!condition()) {
    if (Clock::now() > end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return true;
}

TEST(QORNamedPipeAudio, OnlyWholeMessagesOfOneSaneRateAndCountReachTheRing) {
  Pipe pipe;
  pipe.Init(0, Pipe::kRoleReader);
  auto valid = Message(3, 16000);
  EXPECT_FALSE(pipe.AcceptMessage(valid.data(), Pipe::kMessageSize - 1));
  EXPECT_FALSE(Accept(pipe, Message(481, 16000)));
  EXPECT_FALSE(Accept(pipe, Message(0xFFFFFFFF, 16000)));
  EXPECT_FALSE(Accept(pipe, Message(3, 0)));
  EXPECT_FALSE(Accept(pipe, Message(3, Pipe::kMinRate - 1)));
  EXPECT_FALSE(Accept(pipe, Message(3, Pipe::kMaxRate + 1)));
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
  EXPECT_EQ(out[0], 1.0f);
  EXPECT_EQ(out[2], 3.0f);
  EXPECT_EQ(out[3], 10.0f);
  EXPECT_EQ(out[482], 489.0f);
  EXPECT_EQ(out[483], -1.0f);

  // Init forgets the stream: a new rate may be adopted. Samples that are not numbers are silence.
  pipe.Init(0, Pipe::kRoleReader);
  auto message = Message(4, 8000);
  const float bad[] = {std::numeric_limits<float>::quiet_NaN(),
                       std::numeric_limits<float>::infinity(),
                       -std::numeric_limits<float>::infinity(), 0.5f};
  std::memcpy(message.data() + 8, bad, sizeof(bad));
  EXPECT_TRUE(Accept(pipe, message));
  EXPECT_EQ(pipe.GetRate(), 8000u);
  ASSERT_EQ(pipe.ReadRing(out.data(), 1000), 4u);
  EXPECT_EQ(std::vector<float>(out.begin(), out.begin() + 4),
            (std::vector<float>{0.0f, 0.0f, 0.0f, 0.5f}));
}

TEST(QORNamedPipeAudio, AFullRingDropsSampleForSample) {
  Pipe pipe;
  pipe.Init(0, Pipe::kRoleReader);
  for (int i = 0; i < 8; ++i) ASSERT_TRUE(Accept(pipe, Message(480, 48000, i * 1000.0f)));
  EXPECT_EQ(pipe.GetRingAvailable(), Pipe::kRingCapacity);
  EXPECT_TRUE(Accept(pipe, Message(480, 48000, 9000.0f)));
  EXPECT_EQ(pipe.GetDroppedSamples(), 480u);
  std::vector<float> out(Pipe::kRingCapacity);
  ASSERT_EQ(pipe.ReadRing(out.data(), 100), 100u);
  EXPECT_TRUE(Accept(pipe, Message(480, 48000, 20000.0f)));
  EXPECT_EQ(pipe.GetDroppedSamples(), 480u + 380u);
  ASSERT_EQ(pipe.ReadRing(out.data(), Pipe::kRingCapacity), Pipe::kRingCapacity);
  EXPECT_EQ(out[0], 100.0f);                            // first message, after the 100 read
  EXPECT_EQ(out[Pipe::kRingCapacity - 101], 7479.0f);   // the last of the eighth message
  EXPECT_EQ(out[Pipe::kRingCapacity - 100], 20000.0f);  // the first 100 of the last one
  EXPECT_EQ(out[Pipe::kRingCapacity - 1], 20099.0f);

  Pipe writer;
  writer.Init(16000, Pipe::kRoleWriter);
  std::vector<float> samples(4000, 0.25f);
  EXPECT_EQ(writer.WriteRing(samples.data(), 4000), Pipe::kRingCapacity);
  EXPECT_EQ(writer.WriteRing(samples.data(), 10), 0u);
  EXPECT_EQ(writer.GetDroppedSamples(), 170u);
}

TEST(QORNamedPipeAudio, AWriterWithNoReaderKeepsDrainingItsRing) {
  qortest::TempStateRoot root;
  Pipe writer;
  writer.Init(16000, Pipe::kRoleWriter);
  ASSERT_TRUE(writer.StartThread());
  EXPECT_FALSE(writer.StartThread());
  std::vector<float> samples(1000, 0.5f);
  ASSERT_EQ(writer.WriteRing(samples.data(), 1000), 1000u);
  // 480 + 480 + 40, sent to nobody.
  ASSERT_TRUE(Within(5000, [&] { return writer.GetMessagesSent() == 3; }));
  ASSERT_EQ(writer.WriteRing(samples.data(), 200), 200u);
  ASSERT_TRUE(Within(5000, [&] { return writer.GetMessagesSent() == 4; }));
  EXPECT_EQ(writer.GetRingAvailable(), 0u);
  EXPECT_EQ(writer.GetConnectedCount(), 0u);
  EXPECT_TRUE(writer.StopThread());
}

TEST(QORNamedPipeAudio, ASixthReaderGetsNoThreadAndAWaitingReaderStopsWithinOneWait) {
  qortest::TempStateRoot root;
  qortest::TraceCapture trace;
  std::vector<std::unique_ptr<Pipe>> readers;
  for (int i = 0; i < 6; ++i) {
    readers.push_back(std::make_unique<Pipe>());
    readers.back()->Init(0, Pipe::kRoleReader);
  }
  for (int i = 0; i < 5; ++i) ASSERT_TRUE(readers[i]->StartThread()) << i;
  auto start = Clock::now();
  EXPECT_FALSE(readers[5]->StartThread());
  EXPECT_FALSE(readers[5]->IsThreadRunning());
  EXPECT_LT(Clock::now() - start, std::chrono::seconds(2));
  ASSERT_TRUE(Within(5000, [&] {
    return trace.LinesContaining("QORNamedPipeAudio::ServerRoutine entering").size() == 5;
  }));
  start = Clock::now();
  EXPECT_TRUE(readers[2]->StopThread());
  EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(150));
  EXPECT_FALSE(readers[2]->IsThreadRunning());
  // Its instance is free again.
  EXPECT_TRUE(readers[5]->StartThread());
}

}  // namespace
