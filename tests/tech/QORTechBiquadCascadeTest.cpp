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

// The tapped pass (shelves, a gain per frame, the mean taken for a detector, one more section)
// against the same steps written out here on the scalar path, with gains that change every frame.
TEST(QORTechBiquadCascade, TappedPassMatchesTheStepsOneByOneAndTapsTheMeanBetweenThem) {
  using B = QORTechBiquad;
  constexpr uint32_t kFrames = 1001;
  const std::vector<B::Coefficients> designs = {B::LowShelf(48000.0, 100.0, 8.0),
                                                B::HighShelf(48000.0, 8000.0, -4.0),
                                                B::LowShelf(48000.0, 90.0, 12.0)};
  const auto gain = [](uint32_t frame) { return 0.25f + 0.001f * static_cast<float>(frame); };
  struct Shape {
    uint32_t before, after;
    bool gains, mixes;
  };
  const Shape shapes[] = {{0, 0, true, true}, {0, 1, false, true},  {1, 0, true, false},
                          {1, 1, true, true}, {2, 0, false, false}, {2, 1, true, true},
                          {2, 1, false, true}};
  for (uint32_t channels = 1; channels <= 2; ++channels) {
    for (const Shape& shape : shapes) {
      for (const uint32_t block : {1u, 7u, 32u}) {
        SCOPED_TRACE(std::to_string(channels) + " channels, " + std::to_string(shape.before) +
                     " + " + std::to_string(shape.after) + " sections, blocks of " +
                     std::to_string(block));
        const Channels input = Make(2, channels, kFrames, 48000.0);
        // The scalar path: sections before, gains, the mean, sections after.
        Channels reference = input;
        std::vector<float> referenceMixes(kFrames);
        std::vector<B> scalar(3);
        for (uint32_t s = 0; s < 3; ++s) scalar[s].SetCoefficients(designs[s]);
        for (uint32_t s = 0; s < shape.before; ++s) {
          for (uint32_t c = 0; c < channels; ++c)
            scalar[s].Process(reference[c].data(), kFrames, c);
        }
        for (uint32_t i = 0; i < kFrames; ++i) {
          float mix = 0.0f;
          for (uint32_t c = 0; c < channels; ++c) {
            if (shape.gains) reference[c][i] *= gain(i);
            mix += reference[c][i];
          }
          referenceMixes[i] = mix / static_cast<float>(channels);
        }
        if (shape.after == 1) {
          for (uint32_t c = 0; c < channels; ++c)
            scalar[2].Process(reference[c].data(), kFrames, c);
        }

        Channels actual = input;
        std::vector<float> mixes(kFrames, -7.0f);
        std::vector<B> sections(3);
        for (uint32_t s = 0; s < 3; ++s) sections[s].SetCoefficients(designs[s]);
        std::vector<float*> pointers(channels);
        uint64_t allocations = 0;
        for (uint32_t offset = 0; offset < kFrames; offset += block) {
          const uint32_t n = std::min(block, kFrames - offset);
          std::vector<float> gains(n);
          for (uint32_t i = 0; i < n; ++i) gains[i] = gain(offset + i);
          for (uint32_t c = 0; c < channels; ++c) pointers[c] = actual[c].data() + offset;
          qortest::AllocationScope scope;
          QORTechBiquadCascade cascade;
          for (uint32_t s = 0; s < shape.before; ++s) cascade.Add(sections[s]);
          if (shape.after == 1) cascade.Add(sections[2]);
          EXPECT_TRUE(cascade.ProcessTapped(
              pointers.data(), channels, n, shape.before, shape.gains ? gains.data() : nullptr,
              1.0f / static_cast<float>(channels), shape.mixes ? mixes.data() + offset : nullptr));
          allocations += scope.Count();
        }
        EXPECT_EQ(allocations, 0u);
        const auto [peak, worst] = PeakAndWorst(reference, actual);
        EXPECT_GT(peak, 0.1);
        EXPECT_LE(worst, kBound * peak);
        if (shape.mixes) {
          const auto [mixPeak, mixWorst] = PeakAndWorst({referenceMixes}, {mixes});
          EXPECT_LE(mixWorst, kBound * mixPeak);
        } else {
          EXPECT_EQ(mixes, std::vector<float>(kFrames, -7.0f));  // untouched
        }
      }
    }
  }
  // More than two channels, or a split past the sections: refused, the samples untouched.
  Channels three = Make(2, 3, 16, 48000.0);
  const Channels before = three;
  std::vector<float*> pointers = {three[0].data(), three[1].data(), three[2].data()};
  B section;
  section.SetCoefficients(designs[0]);
  QORTechBiquadCascade cascade;
  cascade.Add(section);
  EXPECT_FALSE(cascade.ProcessTapped(pointers.data(), 3, 16, 1, nullptr, 1.0f, nullptr));
  EXPECT_FALSE(cascade.ProcessTapped(pointers.data(), 2, 16, 2, nullptr, 1.0f, nullptr));
  EXPECT_EQ(three, before);
}

}  // namespace
