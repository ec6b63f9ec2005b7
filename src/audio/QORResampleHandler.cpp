#include "audio/QORResampleHandler.h"

#include <algorithm>
#include <cstring>

#include "audio/QORAudioDataFloat.h"

namespace {

constexpr uint32_t kPrimeMilliseconds = 10;
// The converter sizes its store for 100 ms of input at set-up: longer periods go in as several
// calls of that size, so that they allocate nothing inside it.
constexpr uint32_t kChunkDivisor = 10;

}  // namespace

uint32_t QORResampleHandler::ExpectedFrames(uint32_t frames, uint32_t sourceRate,
                                            uint32_t destRate) {
  if (sourceRate == 0) return 0;
  return static_cast<uint32_t>(static_cast<uint64_t>(frames) * destRate / sourceRate);
}

bool QORResampleHandler::Setup(uint32_t inputRate, uint32_t outputRate, uint32_t channels) {
  if (StoreFormat(inputRate, outputRate, channels) && !InitMediaObject(channels)) {
    ClearFormat();
    return false;
  }
  const uint32_t primeFrames = inputRate * kPrimeMilliseconds / 1000;
  QORAudioDataFloat silence;
  silence.Init(primeFrames, channels, inputRate);
  silence.GetSamples(true, true);
  QORAudioDataFloat discarded;
  discarded.Init(0, channels, outputRate);
  return Convert(silence, discarded);
}

void QORResampleHandler::Reserve(uint32_t sourceFrames, uint32_t channels, uint32_t sourceRate,
                                 uint32_t destRate) {
  const size_t room =
      static_cast<size_t>(ExpectedFrames(sourceFrames, sourceRate, destRate) + kSpareFrames) *
      channels;
  if (staging_.size() < room) staging_.resize(room, 0.0f);
  ReserveSamples(sourceFrames * channels, static_cast<uint32_t>(room));
}

bool QORResampleHandler::Convert(IQORAudioData<float>& source, IQORAudioData<float>& destination) {
  const uint32_t sourceRate = source.GetSampleRate();
  const uint32_t destRate = destination.GetSampleRate();
  const uint32_t c = source.GetChannelCount();
  if (StoreFormat(sourceRate, destRate, c) && !InitMediaObject(c)) {
    ClearFormat();
    return false;
  }
  if (sourceRate == 0 || destRate == 0 || c == 0) return false;

  const uint32_t n = source.GetFrameCount();
  const uint32_t expected = ExpectedFrames(n, sourceRate, destRate);
  const size_t room = static_cast<size_t>(expected + kSpareFrames) * c;
  if (staging_.size() < room) staging_.resize(room, 0.0f);

  const float* input = source.GetSamples(false, true);
  uint32_t inputLeft = input == nullptr ? 0 : n * c;
  float* output = staging_.data();
  uint32_t roomLeft = static_cast<uint32_t>(room);
  const uint32_t chunk = std::max(sourceRate / kChunkDivisor, 1u) * c;
  while (inputLeft != 0) {
    uint32_t consumed = std::min(inputLeft, chunk);
    uint32_t produced = roomLeft;
    if (!Resample(input, &consumed, output, &produced)) break;
    // A converter that neither takes nor gives has no room left; waiting would never end.
    if (consumed == 0 && produced == 0) break;
    input += consumed;
    inputLeft -= consumed;
    output += produced;
    roomLeft -= produced;
  }
  source.ReleaseSamples();

  const uint32_t producedFrames = expected + kSpareFrames - roomLeft / c;
  destination.Init(producedFrames, c, destRate);
  float* target = destination.GetSamples(true, true);
  if (target != nullptr) {
    std::memcpy(target, staging_.data(), static_cast<size_t>(producedFrames) * c * sizeof(float));
  }
  destination.ReleaseSamples();
  return true;
}
