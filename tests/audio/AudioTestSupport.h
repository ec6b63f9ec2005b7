#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "audio/IQORAudioProcess.h"
#include "audio/QORAudioDataFloat.h"

namespace qortest {

inline std::vector<float> Ramp(size_t count, float first = 1.0f) {
  std::vector<float> ramp(count);
  for (size_t i = 0; i < count; ++i) ramp[i] = first + static_cast<float>(i);
  return ramp;
}

// A copy of the buffer's samples in the form asked for; reading keeps the other form.
inline std::vector<float> Samples(IQORAudioData<float>& data, bool interleaved = true) {
  const float* s = data.GetSamples(false, interleaved);
  return std::vector<float>(s, s + size_t{data.GetFrameCount()} * data.GetChannelCount());
}

// Runs one interleaved period through the process and returns it interleaved.
inline std::vector<float> RunPeriod(IQORAudioProcess<float>& process,
                                    const std::vector<float>& input, uint32_t channels) {
  QORAudioDataFloat data;
  data.Assign(input.data(), static_cast<uint32_t>(input.size() / channels), channels, true, 48000);
  process.Process(data);
  return Samples(data);
}

// Feeds signal(frame, channel) through the process in periods of the given lengths and returns
// the output interleaved. Every period must leave with the frames and channels it came with.
template <typename Signal>
std::vector<float> Stream(IQORAudioProcess<float>& process, uint32_t channels, uint32_t rate,
                          const std::vector<uint32_t>& periods, Signal signal) {
  std::vector<float> output;
  QORAudioDataFloat data;
  uint32_t frame = 0;
  for (uint32_t period : periods) {
    data.Init(period, channels, rate);
    float* s = data.GetSamples(true, true);
    for (uint32_t i = 0; i < period * channels; ++i)
      s[i] = signal(frame + i / channels, i % channels);
    frame += period;
    process.Process(data);
    EXPECT_EQ(data.GetFrameCount(), period);
    EXPECT_EQ(data.GetChannelCount(), channels);
    const auto out = Samples(data);
    output.insert(output.end(), out.begin(), out.end());
  }
  return output;
}

}  // namespace qortest
