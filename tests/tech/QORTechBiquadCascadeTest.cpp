// The SIMD section runner against the plain scalar path it replaces: one section at a time, one
// channel at a time, with float samples between sections.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <numbers>
#include <string>
#include <vector>

#include "AllocationCounter.h"
#include "QORTechBiquad.h"
#include "QORTechBiquadCascade.h"

namespace {

using Channels = std::vector<std::vector<float>>;

// Bound on the difference, relative to the reference's peak: -120 dB.
constexpr double kBound = 1e-6;

// Signal 0 an impulse, 1 a sine, 2 noise; every channel differs (delay, frequency, seed), so lanes
// that mix up channels show.
Channels Make(int signal, uint32_t channels, uint32_t frames, double rate) {
  Channels audio(channels, std::vector<float>(frames, 0.0f));
  uint32_t seed = 12345;
  for (uint32_t c = 0; c < channels; ++c) {
    for (uint32_t i = 0; i < frames; ++i) {
      seed = seed * 1664525u + 1013904223u;
      const double sine = 0.5 * std::sin(2.0 * std::numbers::pi * (40.0 + 700.0 * c) * i / rate);
      audio[c][i] = signal == 0   ? (i == 3 * c ? 0.9f : 0.0f)
                    : signal == 1 ? static_cast<float>(sine)
                                  : static_cast<float>(seed >> 8) / 16777216.0f - 0.5f;
    }
  }
  return audio;
}

struct Design {
  const char* name;
  double rate;
  std::vector<QORTechBiquad::Coefficients> sections;
};

std::vector<Design> Designs() {
  std::vector<Design> designs;
  // The ten equaliser bands at full boost and cut, alternating: the largest gains the library
  // asks of a cascade.
  for (const double rate : {48000.0, 192000.0}) {
    Design eq{rate == 48000.0 ? "eq48000" : "eq192000", rate, {}};
    double centre = 31.25;
    for (int b = 0; b < 10; ++b, centre *= 2.0) {
      eq.sections.push_back(QORTechBiquad::Peaking(rate, centre, b % 2 == 0 ? 12.0 : -12.0, 1.41));
    }
    designs.push_back(eq);
  }
  designs.push_back({"shelves and high-pass",
                     44100.0,
                     {QORTechBiquad::LowShelf(44100.0, 100.0, 8.0),
                      QORTechBiquad::HighShelf(44100.0, 8000.0, 4.0),
                      QORTechBiquad::HighPass(44100.0, 20.0, 0.5412),
                      QORTechBiquad::HighPass(44100.0, 20.0, 1.3066),
                      QORTechBiquad::LowPass(44100.0, 150.0, 0.707)}});
  designs.push_back({"one section", 48000.0, {QORTechBiquad::LowShelf(48000.0, 90.0, 12.0)}});
  // Odd and even lengths around the point where long cascades take another runner, an odd one with
  // a section left over.
  for (const size_t count : {6, 7, 8, 9}) {
    Design mixed{nullptr, 48000.0, {}};
    for (size_t s = 0; s < count; ++s) {
      mixed.sections.push_back(s % 3 == 0 ? QORTechBiquad::LowShelf(48000.0, 60.0 * (s + 1), 6.0)
                               : s % 3 == 1
                                   ? QORTechBiquad::Peaking(48000.0, 700.0 * (s + 1), -9.0, 2.0)
                                   : QORTechBiquad::HighPass(48000.0, 25.0, 0.7071));
    }
    static const char* const kNames[] = {"six mixed", "seven mixed", "eight mixed", "nine mixed"};
    mixed.name = kNames[count - 6];
    designs.push_back(mixed);
  }
  return designs;
}

// The largest magnitude of reference, and the largest difference of actual from it.
std::pair<double, double> PeakAndWorst(const Channels& reference, const Channels& actual) {
  double peak = 0.0, worst = 0.0;
  for (size_t c = 0; c < reference.size(); ++c) {
    for (size_t i = 0; i < reference[c].size(); ++i) {
      peak = std::max(peak, std::fabs(static_cast<double>(reference[c][i])));
      worst = std::max(worst, std::fabs(static_cast<double>(actual[c][i]) - reference[c][i]));
    }
  }
  return {peak, worst};
}

TEST(QORTechBiquadCascade, MatchesTheScalarPathWithin120DbForEveryChannelCountAndBlockLength) {
  constexpr uint32_t kFrames = 4801;
  const uint32_t blocks[] = {1, 7, 31, 33, 97, 479, kFrames};
  double worstDb = -400.0;
  for (const Design& design : Designs()) {
    for (const int signal : {0, 1, 2}) {
      for (uint32_t channels = 1; channels <= 8; ++channels) {
        const Channels input = Make(signal, channels, kFrames, design.rate);
        Channels reference = input;
        std::vector<QORTechBiquad> scalar(design.sections.size());
        for (size_t s = 0; s < scalar.size(); ++s) {
          scalar[s].SetCoefficients(design.sections[s]);
          for (uint32_t c = 0; c < channels; ++c)
            scalar[s].Process(reference[c].data(), kFrames, c);
        }
        for (const uint32_t block : blocks) {
          SCOPED_TRACE(std::string(design.name) + ", signal " + std::to_string(signal) + ", " +
                       std::to_string(channels) + " channels, blocks of " + std::to_string(block));
          Channels actual = input;
          std::vector<QORTechBiquad> sections(design.sections.size());
          for (size_t s = 0; s < sections.size(); ++s)
            sections[s].SetCoefficients(design.sections[s]);
          std::vector<float*> pointers(channels);
          uint64_t allocations = 0;
          // A new cascade for each call: the sections carry the state from one call to the next.
          for (uint32_t offset = 0; offset < kFrames; offset += block) {
            for (uint32_t c = 0; c < channels; ++c) pointers[c] = actual[c].data() + offset;
            qortest::AllocationScope scope;
            QORTechBiquadCascade cascade;
            for (auto& section : sections) cascade.Add(section);
            cascade.Process(pointers.data(), channels, std::min(block, kFrames - offset));
            allocations += scope.Count();
          }
          EXPECT_EQ(allocations, 0u);
          const auto [peak, worst] = PeakAndWorst(reference, actual);
          EXPECT_LE(worst, kBound * peak);
          worstDb = std::max(worstDb, 20.0 * std::log10(std::max(worst, 1e-30) / peak));
        }
      }
    }
  }
  RecordProperty("worst_error_db", std::to_string(worstDb));
}

}  // namespace
