// The capture pipe's lock-free ring: exact samples across the wrap, two threads at once, and a
// period side that neither allocates nor makes a system call while nobody waits.
#include "ipc/QORSpscSampleRing.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <thread>
#include <tuple>
#include <vector>

#include "AllocationCounter.h"
#include "TempStateRoot.h"
#include "ipc/QORNamedPipeAudio.h"

namespace {

// Writes and reads in fixed steps; every sample read must be the next of the running count, and
// every write must take exactly the room a plain count of the fill says there is.
TEST(QORSpscSampleRing, StepsOfEverySizeCarryExactSamplesAcrossTheWrap) {
  const std::tuple<uint32_t, uint32_t, uint32_t> cases[] = {
      // capacity, write step, read step
      {3840, 480, 480}, {3840, 1000, 333}, {3840, 3840, 3840}, {3840, 7, 4000},
      {3840, 4096, 1},  {5, 3, 2},         {1, 1, 1},          {4096, 4095, 4097}};
  for (const auto& [capacity, writeStep, readStep] : cases) {
    SCOPED_TRACE(testing::Message()
                 << capacity << ": write " << writeStep << ", read " << readStep);
    QORSpscSampleRing ring(capacity);
    EXPECT_EQ(ring.GetCapacity(), capacity);
    std::vector<float> in(writeStep), out(readStep + 1);
    uint32_t next = 0, expected = 0, fill = 0;
    // 20000 samples (exact as floats) through many turns of every ring.
    while (expected < 20000) {
      for (uint32_t i = 0; i < writeStep; ++i) in[i] = static_cast<float>(next + i);
      const uint32_t room = capacity - fill;
      ASSERT_EQ(ring.Write(in.data(), writeStep), std::min(writeStep, room));
      next += std::min(writeStep, room);
      fill += std::min(writeStep, room);
      ASSERT_EQ(ring.GetAvailable(), fill);
      out[readStep] = -1.0f;
      const uint32_t got = ring.Read(out.data(), readStep);
      ASSERT_EQ(got, std::min(readStep, fill));
      for (uint32_t i = 0; i < got; ++i) ASSERT_EQ(out[i], static_cast<float>(expected + i)) << i;
      EXPECT_EQ(out[readStep], -1.0f);  // never past the count asked
      expected += got;
      fill -= got;
    }
    // Reset empties it; an empty read and a null write move nothing.
    ring.Write(in.data(), 1);
    ring.Reset();
    EXPECT_EQ(ring.GetAvailable(), 0u);
    EXPECT_EQ(ring.Read(out.data(), readStep), 0u);
    EXPECT_EQ(ring.Write(nullptr, 5), 0u);
  }
}

// One producer and one consumer thread in uneven steps: every sample arrives once and in order.
// Under ThreadSanitizer this also checks that the positions publish the samples they cover.
TEST(QORSpscSampleRing, OneWriterAndOneReaderThreadPassEverySampleInOrder) {
  constexpr uint32_t kTotal = 1u << 20;
  QORSpscSampleRing ring(3840);
  std::thread producer([&] {
    std::vector<float> block(613);
    uint32_t step = 1;
    for (uint32_t next = 0; next < kTotal;) {
      step = step * 7 % 613 + 1;
      const uint32_t n = std::min(step, kTotal - next);
      for (uint32_t i = 0; i < n; ++i) block[i] = static_cast<float>(next + i);
      const uint32_t written = ring.Write(block.data(), n);
      next += written;
      if (written == 0) std::this_thread::yield();
    }
  });
  std::vector<float> block(701);
  uint32_t expected = 0, step = 1, wrong = 0;
  const auto limit = std::chrono::steady_clock::now() + std::chrono::minutes(2);
  while (expected < kTotal && std::chrono::steady_clock::now() < limit) {
    step = step * 11 % 701 + 1;
    const uint32_t got = ring.Read(block.data(), step);
    for (uint32_t i = 0; i < got; ++i) wrong += block[i] != static_cast<float>(expected + i);
    expected += got;
    if (got == 0) std::this_thread::yield();
  }
  producer.join();
  EXPECT_EQ(expected, kTotal);
  EXPECT_EQ(wrong, 0u);
  EXPECT_EQ(ring.GetAvailable(), 0u);
}

// The real-time side of both roles: a writer whose pipe thread drains the ring, a reader taken
// from by periods. Neither allocates; the writer wakes its pipe thread only while it waits.
TEST(QORNamedPipeAudio, PeriodSideAllocatesNothingAndSignalsOnlyAWaitingThread) {
  qortest::TempStateRoot root;
  std::vector<float> period(160, 0.25f);
  QORNamedPipeAudio writer;
  writer.Init(16000, QORNamedPipeAudio::kRoleWriter);
  // No thread waits: 100 periods fill the ring without a single signal.
  for (int p = 0; p < 100; ++p) writer.WriteRing(period.data(), 160);
  EXPECT_EQ(writer.GetWakeSignals(), 0u);
  EXPECT_EQ(writer.GetRingAvailable(), QORNamedPipeAudio::kRingCapacity);
  EXPECT_EQ(writer.GetDroppedSamples(), 100u * 160u - QORNamedPipeAudio::kRingCapacity);

  writer.Init(16000, QORNamedPipeAudio::kRoleWriter);
  ASSERT_TRUE(writer.StartThread());
  uint64_t allocations = 0;
  for (int p = 0; p < 200; ++p) {
    qortest::AllocationScope scope;
    writer.WriteRing(period.data(), 160);
    allocations += scope.Count();
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  // At most one signal per period, and only for periods that found the thread waiting.
  EXPECT_LE(writer.GetWakeSignals(), 200u);
  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (writer.GetRingAvailable() != 0 && std::chrono::steady_clock::now() < end) {
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  EXPECT_EQ(writer.GetRingAvailable(), 0u);
  EXPECT_TRUE(writer.StopThread());

  QORNamedPipeAudio reader;
  reader.Init(0, QORNamedPipeAudio::kRoleReader);
  std::vector<unsigned char> message(QORNamedPipeAudio::kMessageSize, 0);
  const uint32_t count = 480, rate = 48000;
  std::memcpy(message.data(), &count, 4);
  std::memcpy(message.data() + 4, &rate, 4);
  for (int m = 0; m < 8; ++m) ASSERT_TRUE(reader.AcceptMessage(message.data(), message.size()));
  std::vector<float> out(480);
  for (int p = 0; p < 8; ++p) {
    qortest::AllocationScope scope;
    EXPECT_EQ(reader.ReadRing(out.data(), 480), 480u);
    allocations += scope.Count();
  }
  EXPECT_EQ(allocations, 0u);
}

}  // namespace
