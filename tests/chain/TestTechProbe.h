#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "audio/QORAudioDataFloat.h"
#include "chain/QORAPOProcessWrapper.h"

// Reads the state of a process of the test technology library (testtech/TestTechProcess.h)
// straight through the contract, bypassing the wrapper's rules.
namespace testtech {

inline int32_t ReadInt(const QORAPOProcessWrapper& wrapper, const char* control) {
  int32_t value = -12345;
  if (wrapper.GetProcess() == nullptr || !wrapper.GetProcess()->GetControlInt(control, &value)) {
    return -12345;
  }
  return value;
}

// A period whose sample (frame f, channel c) is first + f + 1000 * c, interleaved.
inline void FillRamp(QORAudioDataFloat& data, uint32_t frames, uint32_t channels, uint32_t rate,
                     float first) {
  data.Init(frames, channels, rate);
  float* samples = data.GetSamples(true, true);
  for (uint32_t i = 0; i < frames * channels; ++i) {
    samples[i] =
        first + static_cast<float>(i / channels) + 1000.0f * static_cast<float>(i % channels);
  }
}

// Runs periods through the wrapper as one running ramp (frame n of the stream is
// n + 1 + 1000 * channel) and returns the output stream of each channel.
inline std::vector<std::vector<float>> Stream(QORAPOProcessWrapper& wrapper, uint32_t channels,
                                              uint32_t rate, uint32_t periodFrames,
                                              uint32_t periods = 1) {
  std::vector<std::vector<float>> out(channels);
  QORAudioDataFloat data;
  for (uint32_t p = 0; p < periods; ++p) {
    FillRamp(data, periodFrames, channels, rate, static_cast<float>(p * periodFrames + 1));
    wrapper.Process(data);
    const float* planar = data.GetSamples(false, false);
    const size_t n = data.GetFrameCount();
    for (uint32_t c = 0; c < channels; ++c)
      out[c].insert(out[c].end(), planar + c * n, planar + (c + 1) * n);
  }
  return out;
}

}  // namespace testtech
