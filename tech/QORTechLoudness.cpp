#include "QORTechLoudness.h"

#include <algorithm>
#include <cmath>

#include "QORTechBiquadCascade.h"

namespace {
constexpr float kGateDb = -70.0f;  // below this the programme is pause, not quiet music
constexpr float kMaxLevellerDb = 12.0f;
constexpr float kReferenceDb = -18.0f;  // level at which no compensation is needed
constexpr float kMaxBassDb = 8.0f;
}  // namespace

void QORTechLoudness::Init(uint32_t rate, uint32_t subBlock) {
  rate_ = rate;
  const float steps = static_cast<float>(rate) / subBlock;
  levelCoefficient_ = 1.0f - std::exp(-1.0f / (steps * 0.4f));
  leveller_.SetRate(steps, 1.5f);
  bass_.SetRate(steps, 0.3f);
  treble_.SetRate(steps, 0.3f);
  leveller_.Jump(0.0f);
  bass_.Jump(0.0f);
  treble_.Jump(0.0f);
  meanSquare_ = 0.0;
  levelDb_ = -120.0f;
  levellerTarget_ = 0.0f;
  bassShelf_.SetCoefficients({});
  trebleShelf_.SetCoefficients({});
  bassShelf_.Reset();
  trebleShelf_.Reset();
}

void QORTechLoudness::Process(float* const* channels, uint32_t channelCount, uint32_t frames,
                              bool enabled, float targetDb) {
  double sum = 0.0;
  for (uint32_t c = 0; c < channelCount; ++c) {
    for (uint32_t i = 0; i < frames; ++i)
      sum += static_cast<double>(channels[c][i]) * channels[c][i];
  }
  meanSquare_ +=
      (sum / (static_cast<double>(frames) * channelCount) - meanSquare_) * levelCoefficient_;
  levelDb_ = static_cast<float>(10.0 * std::log10(meanSquare_ + 1e-12));

  float bassTarget = 0.0f;
  if (enabled) {
    if (levelDb_ > kGateDb) {
      levellerTarget_ = std::clamp(targetDb - levelDb_, -kMaxLevellerDb, kMaxLevellerDb);
    }
    bassTarget =
        std::clamp((kReferenceDb - (levelDb_ + leveller_.Value())) * 0.3f, 0.0f, kMaxBassDb);
  } else {
    levellerTarget_ = 0.0f;
  }

  if (bass_.Step(bassTarget, 0.001f)) {
    bassShelf_.SetCoefficients(QORTechBiquad::LowShelf(rate_, 100.0, bass_.Value()));
  }
  if (treble_.Step(bassTarget * 0.5f, 0.001f)) {
    trebleShelf_.SetCoefficients(QORTechBiquad::HighShelf(rate_, 8000.0, treble_.Value()));
  }
  const float before = std::pow(10.0f, leveller_.Value() / 20.0f);
  leveller_.Step(levellerTarget_, 0.001f);
  const float after = std::pow(10.0f, leveller_.Value() / 20.0f);

  QORTechBiquadCascade shelves;
  if (bass_.Value() != 0.0f) {
    shelves.Add(bassShelf_);
  } else {
    bassShelf_.Reset();
  }
  if (treble_.Value() != 0.0f) {
    shelves.Add(trebleShelf_);
  } else {
    trebleShelf_.Reset();
  }
  shelves.Process(channels, channelCount, frames);
  if (before != 1.0f || after != 1.0f) {
    // Interpolated across the sub-block so that gain moves never step.
    const float slope = (after - before) / frames;
    for (uint32_t c = 0; c < channelCount; ++c) {
      float* x = channels[c];
      for (uint32_t i = 0; i < frames; ++i) x[i] *= before + slope * (i + 1);
    }
  }
}
