// The SIMD section runner against the plain scalar path it replaces: one section at a time, one
// channel at a time, with float samples between sections.
#include "AllocationCounter.h"
#include "QORTechBiquad.h"
#include "QORTechBiquadCascade.h"
#include "TechTestLibrary.h"

namespace {

using techtest::Channels;
using techtest::PeakAndWorst;

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
  std::string name;
  double rate;
  std::vector<QORTechBiquad::Coefficients> sections;
};

std::vector<Design> Designs() {
  using B = QORTechBiquad;
  std::vector<Design> designs;
  // The ten equaliser bands at full boost and cut, alternating: the largest gains the library
  // asks of a cascade.
  for (const double rate : {48000.0, 192000.0}) {
    Design eq{"eq" + std::to_string(static_cast<int>(rate)), rate, {}};
    for (int b = 0; b < 10; ++b) {
      eq.sections.push_back(B::Peaking(rate, 31.25 * (1 << b), b % 2 == 0 ? 12.0 : -12.0, 1.41));
    }
    designs.push_back(eq);
  }
  designs.push_back({"shelves and high-pass",
                     44100.0,
                     {B::LowShelf(44100.0, 100.0, 8.0), B::HighShelf(44100.0, 8000.0, 4.0),
                      B::HighPass(44100.0, 20.0, 0.5412), B::HighPass(44100.0, 20.0, 1.3066),
                      B::LowPass(44100.0, 150.0, 0.707)}});
  designs.push_back({"one section", 48000.0, {B::LowShelf(48000.0, 90.0, 12.0)}});
  // Odd and even lengths around the point where long cascades take another runner, an odd one with
  // a section left over.
  for (const size_t count : {6, 7, 8, 9}) {
    Design mixed{std::to_string(count) + " mixed", 48000.0, {}};
    for (size_t s = 0; s < count; ++s) {
      mixed.sections.push_back(s % 3 == 0   ? B::LowShelf(48000.0, 60.0 * (s + 1), 6.0)
                               : s % 3 == 1 ? B::Peaking(48000.0, 700.0 * (s + 1), -9.0, 2.0)
                                            : B::HighPass(48000.0, 25.0, 0.7071));
    }
    designs.push_back(mixed);
  }
  return designs;
}

// The sections of a design, from rest.
std::vector<QORTechBiquad> Sections(const Design& design) {
  std::vector<QORTechBiquad> sections(design.sections.size());
  for (size_t s = 0; s < sections.size(); ++s) sections[s].SetCoefficients(design.sections[s]);
  return sections;
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
        for (QORTechBiquad& section : Sections(design)) {
          for (uint32_t c = 0; c < channels; ++c) section.Process(reference[c].data(), kFrames, c);
        }
        for (const uint32_t block : blocks) {
          SCOPED_TRACE(design.name + ", signal " + std::to_string(signal) + ", " +
                       std::to_string(channels) + " channels, blocks of " + std::to_string(block));
          Channels actual = input;
          std::vector<QORTechBiquad> sections = Sections(design);
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
