// Pipe messages as the reader accepts them. The input is a run of records, each a 16-bit length
// (up to 4000) and that many bytes, as the pipe hands them over (a whole message, or the cut-off
// end of a stream). A model of the ring checks every accepted sample and every drop; now and then
// the real-time side drains part of the ring and must get exactly the model's samples.
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <deque>

#include "ipc/QORNamedPipeAudio.h"

namespace {

uint32_t Load(const uint8_t* bytes) {
  uint32_t value;
  std::memcpy(&value, bytes, sizeof(value));
  return value;
}

void Check(bool condition) {
  if (!condition) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static QORNamedPipeAudio pipe;
  pipe.Init(0, QORNamedPipeAudio::kRoleReader);
  std::deque<float> model;
  uint32_t rate = 0;
  uint32_t dropped = 0;
  uint32_t droppedSamples = 0;
  float drained[QORNamedPipeAudio::kRingCapacity];
  while (size >= 2) {
    const size_t length = std::min<size_t>((data[0] | (data[1] << 8)) % 4001, size - 2);
    const uint8_t* message = data + 2;
    const bool accepted = pipe.AcceptMessage(message, length);
    bool expected = length == QORNamedPipeAudio::kMessageSize;
    uint32_t count = 0;
    if (expected) {
      count = Load(message);
      const uint32_t messageRate = Load(message + 4);
      expected = count <= QORNamedPipeAudio::kMessageSamples &&
                 messageRate >= QORNamedPipeAudio::kMinRate &&
                 messageRate <= QORNamedPipeAudio::kMaxRate && (rate == 0 || rate == messageRate);
      if (expected) rate = messageRate;
    }
    Check(accepted == expected);
    if (accepted) {
      for (uint32_t i = 0; i < count; ++i) {
        float sample;
        std::memcpy(&sample, message + 8 + i * 4, 4);
        if (model.size() == QORNamedPipeAudio::kRingCapacity) {
          ++droppedSamples;
          continue;
        }
        model.push_back(std::isfinite(sample) ? sample : 0.0f);
      }
    } else {
      ++dropped;
    }
    Check(pipe.GetRate() == rate);
    Check(pipe.GetDroppedMessages() == dropped);
    Check(pipe.GetDroppedSamples() == droppedSamples);
    Check(pipe.GetRingAvailable() == model.size());
    // The length's low bits also decide how much the real-time side takes now.
    const uint32_t take =
        data[0] & 1 ? (data[1] * 17u) % (QORNamedPipeAudio::kRingCapacity + 1) : 0;
    const uint32_t got = pipe.ReadRing(drained, take);
    Check(got == std::min<size_t>(take, model.size()));
    for (uint32_t i = 0; i < got; ++i) {
      Check(std::memcmp(&drained[i], &model.front(), sizeof(float)) == 0);
      model.pop_front();
    }
    data += 2 + length;
    size -= 2 + length;
  }
  return 0;
}
