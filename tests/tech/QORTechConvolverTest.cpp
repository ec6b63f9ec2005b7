// Partitioned convolution against the direct form written out here, cut into calls of any length.
#include <random>

#include "AllocationCounter.h"
#include "QORTechConvolver.h"
#include "TechTestLibrary.h"

namespace {

using techtest::Channels;

constexpr uint32_t kFrames = 48000;
constexpr uint32_t kBlock = 64;

Channels Noise(uint32_t channels, uint32_t frames, uint32_t seed, float scale) {
  std::mt19937 random(seed);
  std::uniform_real_distribution<float> value(-scale, scale);
  Channels audio(channels, std::vector<float>(frames));
  for (auto& channel : audio) {
    for (float& sample : channel) sample = value(random);
  }
  return audio;
}

// y[n] = sum h[j] x[n - j], in double.
Channels Direct(const Channels& input, const Channels& responses) {
  Channels output(input.size(), std::vector<float>(input[0].size()));
  for (size_t c = 0; c < input.size(); ++c) {
    for (size_t n = 0; n < input[c].size(); ++n) {
      double sum = 0.0;
      for (size_t j = 0; j < responses[c].size() && j <= n; ++j) {
        sum += static_cast<double>(responses[c][j]) * input[c][n - j];
      }
      output[c][n] = static_cast<float>(sum);
    }
  }
  return output;
}

// Runs input through a convolver in calls of the lengths given (repeated), counting allocations.
Channels Convolve(const Channels& input, const Channels& responses,
                  const std::vector<uint32_t>& calls, uint64_t* allocations) {
  QORTechConvolver convolver;
  EXPECT_TRUE(convolver.Init(responses, kBlock));
  Channels output = input;
  std::vector<float*> pointers(output.size());
  *allocations = 0;
  size_t call = 0;
  for (uint32_t offset = 0; offset < kFrames;) {
    const uint32_t frames = std::min(calls[call++ % calls.size()], kFrames - offset);
    for (size_t c = 0; c < output.size(); ++c) pointers[c] = output[c].data() + offset;
    qortest::AllocationScope scope;
    convolver.Process(pointers.data(), static_cast<uint32_t>(output.size()), frames);
    *allocations += scope.Count();
    offset += frames;
  }
  return output;
}

TEST(QORTechConvolver, MatchesTheDirectFormWhateverTheCallsAndAllocatesNothing) {
  std::vector<uint32_t> random(64);
  std::mt19937 lengths(7);
  for (uint32_t& length : random)
    length = std::uniform_int_distribution<uint32_t>(1, 1100)(lengths);
  const struct {
    const char* name;
    Channels responses;
    double bound;  // of the difference, relative to the direct form's peak
  } cases[] = {
      // A Dirac in the first partition gives the input back exactly, one in a later partition
      // delays it through the transforms.
      {"Dirac at 0", {{1.0f}, {1.0f}}, 0.0},
      {"Dirac at 200", {std::vector<float>(201, 0.0f), std::vector<float>(201, 0.0f)}, 1e-7},
      // A known FIR, longer on one channel than the other: -120 dB.
      {"noise FIR", Noise(2, 5000, 3, 0.05f), 1e-6},
  };
  const Channels input = Noise(2, kFrames, 11, 0.5f);
  for (auto c : cases) {
    SCOPED_TRACE(c.name);
    if (c.responses[0].size() == 201) c.responses[0][200] = c.responses[1][200] = 1.0f;
    if (c.responses[1].size() == 5000) c.responses[1].resize(3000);
    const Channels expected = Direct(input, c.responses);
    std::vector<Channels> outputs;
    // Periods of 1, 3, 10 and 20 ms at 48 kHz, and random lengths.
    for (const std::vector<uint32_t>& calls :
         {std::vector<uint32_t>{48}, {144}, {480}, {960}, random}) {
      uint64_t allocations = 0;
      outputs.push_back(Convolve(input, c.responses, calls, &allocations));
      EXPECT_EQ(allocations, 0u);
      const auto [peak, worst] = techtest::PeakAndWorst(expected, outputs.back());
      EXPECT_LE(worst, c.bound * peak) << calls.size();
    }
    for (const Channels& output : outputs) EXPECT_EQ(output, outputs.front());
  }
}

TEST(QORTechConvolver, RefusesWhatItCannotPartition) {
  QORTechConvolver convolver;
  EXPECT_FALSE(convolver.Init({{1.0f}}, 48));  // not a power of two
  EXPECT_FALSE(convolver.Init({{1.0f}}, 8));   // too short
  EXPECT_FALSE(convolver.Init({{1.0f}, {}}, 64));
  EXPECT_FALSE(convolver.Init({}, 64));
  EXPECT_TRUE(convolver.Init({{0.5f}}, 64));
}

}  // namespace
