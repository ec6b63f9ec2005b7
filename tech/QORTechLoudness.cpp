#include "QORTechLoudness.h"

#include <algorithm>
#include <cmath>

#include "QORTechBiquadCascade.h"
#include "QORTechBlockGrid.h"

namespace {
constexpr float kGateDb = -70.0f;  // below this the programme is pause, not quiet music
constexpr float kMaxLevellerDb = 12.0f;
constexpr float kReferenceDb = -18.0f;  // level at which no compensation is needed
constexpr float kMaxBassDb = 8.0f;
}  // namespace

void QORTechLoudness::Init(uint32_t rate) {
  rate_ = rate;
  const float steps = static_cast<float>(rate) / QORTechBlockGrid::kFrames;
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
  blockSum_ = 0.0;
  blockFrames_ = 0;
  gainBefore_ = 1.0f;
  gainAfter_ = 1.0f;
  bassCorner_ = QORTechShelfCornerAt(rate, 100.0);
  trebleCorner_ = QORTechShelfCornerAt(rate, 8000.0);
  gainDb_ = 0.0f;
  bassShelf_.SetCoefficients({});
  trebleShelf_.SetCoefficients({});
  bassShelf_.Reset();
  trebleShelf_.Reset();
}

void QORTechLoudness::StartBlock(uint32_t channelCount, bool enabled, float targetDb) {
  if (blockFrames_ > 0) {
    meanSquare_ += (blockSum_ / (static_cast<double>(blockFrames_) * channelCount) - meanSquare_) *
                   levelCoefficient_;
    levelDb_ = static_cast<float>(10.0 * std::log10(meanSquare_ + 1e-12));
  }
  blockSum_ = 0.0;
  blockFrames_ = 0;

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
    bassShelf_.SetCoefficients(QORTechLowShelf(bassCorner_, bass_.Value()));
  }
  if (treble_.Step(bassTarget * 0.5f, 0.001f)) {
    trebleShelf_.SetCoefficients(QORTechHighShelf(trebleCorner_, treble_.Value()));
  }
  if (bass_.Value() == 0.0f) bassShelf_.Reset();
  if (treble_.Value() == 0.0f) trebleShelf_.Reset();
  // The gain is worked out again only when the leveller has moved.
  if (leveller_.Value() != gainDb_) {
    gainDb_ = leveller_.Value();
    gainAfter_ = std::pow(10.0f, gainDb_ / 20.0f);
  }
  gainBefore_ = gainAfter_;
  if (leveller_.Step(levellerTarget_, 0.001f)) {
    gainDb_ = leveller_.Value();
    gainAfter_ = std::pow(10.0f, gainDb_ / 20.0f);
  }
}

bool QORTechLoudness::Prepare(const float* const* channels, uint32_t channelCount, uint32_t frames,
                              uint32_t at, bool enabled, float targetDb,
                              QORTechBiquadCascade& shelves, float* gains) {
  if (at == 0) StartBlock(channelCount, enabled, targetDb);
  // Four partial sums, so that the squares are added in vector lanes.
  double sums[4] = {0.0, 0.0, 0.0, 0.0};
  for (uint32_t c = 0; c < channelCount; ++c) {
    const float* x = channels[c];
    uint32_t i = 0;
    for (; i + 4 <= frames; i += 4) {
      for (uint32_t k = 0; k < 4; ++k) sums[k] += static_cast<double>(x[i + k]) * x[i + k];
    }
    for (; i < frames; ++i) sums[0] += static_cast<double>(x[i]) * x[i];
  }
  blockSum_ += (sums[0] + sums[1]) + (sums[2] + sums[3]);
  blockFrames_ += frames;

  if (bass_.Value() != 0.0f) shelves.Add(bassShelf_);
  if (treble_.Value() != 0.0f) shelves.Add(trebleShelf_);
  if (gainBefore_ == 1.0f && gainAfter_ == 1.0f) return false;
  // Interpolated across the block so that gain moves never step.
  const float slope = (gainAfter_ - gainBefore_) / QORTechBlockGrid::kFrames;
  for (uint32_t i = 0; i < frames; ++i) gains[i] = gainBefore_ + slope * (at + i + 1);
  return true;
}

void QORTechLoudness::Process(float* const* channels, uint32_t channelCount, uint32_t frames,
                              uint32_t at, bool enabled, float targetDb) {
  QORTechBiquadCascade shelves;
  float gains[QORTechBlockGrid::kFrames];
  const bool gained =
      Prepare(channels, channelCount, frames, at, enabled, targetDb, shelves, gains);
  shelves.Process(channels, channelCount, frames);
  if (!gained) return;
  for (uint32_t c = 0; c < channelCount; ++c) {
    float* x = channels[c];
    for (uint32_t i = 0; i < frames; ++i) x[i] *= gains[i];
  }
}
