#include "QORTechBassBoost.h"

#include <algorithm>
#include <cmath>

#include "QORTechBiquadCascade.h"
#include "QORTechBlockGrid.h"

namespace {
constexpr double kShelfHz = 90.0;
constexpr float kBassHeadroom = 0.5f;  // boosted bass peak aimed at or below this
}  // namespace

void QORTechBassBoost::Init(uint32_t rate) {
  rate_ = rate;
  release_ = 1.0f - std::exp(-1.0f / (static_cast<float>(rate) * 0.3f));
  envelope_ = 0.0f;
  detector_.SetCoefficients(QORTechBiquad::LowPass(rate, 150.0, 0.707));
  detector_.Reset();
  corner_ = QORTechShelfCornerAt(rate, kShelfHz);
  shelf_.SetCoefficients({});
  shelf_.Reset();
  boost_.SetRate(static_cast<float>(rate) / QORTechBlockGrid::kFrames, 0.03f);
  boost_.Jump(0.0f);
}

void QORTechBassBoost::Prepare(uint32_t at, float boostDb, QORTechBiquadCascade& cascade) {
  if (at == 0) {
    float target = 0.0f;
    if (boostDb > 0.0f) {
      const float room =
          envelope_ > 1e-6f ? 20.0f * std::log10(kBassHeadroom / envelope_) : boostDb;
      target = std::clamp(room, 0.0f, boostDb);
    }
    if (boost_.Step(target, 0.001f)) {
      shelf_.SetCoefficients(QORTechLowShelf(corner_, boost_.Value()));
    }
    if (boost_.Value() == 0.0f) shelf_.Reset();
  }
  if (boost_.Value() != 0.0f) cascade.Add(shelf_);
}

void QORTechBassBoost::Detect(const float* mixes, uint32_t frames) {
  float envelope = envelope_;
  for (uint32_t i = 0; i < frames; ++i) {
    const float low = std::fabs(detector_.ProcessSample(mixes[i], 0));
    envelope = low > envelope ? low : envelope + (low - envelope) * release_;
  }
  envelope_ = envelope;
}

void QORTechBassBoost::Process(float* const* channels, uint32_t channelCount, uint32_t frames,
                               uint32_t at, float boostDb) {
  QORTechBiquadCascade cascade;
  Prepare(at, boostDb, cascade);
  const float scale = 1.0f / channelCount;
  for (uint32_t done = 0; done < frames;) {
    float mixes[QORTechBlockGrid::kFrames];
    const uint32_t n = std::min(frames - done, QORTechBlockGrid::kFrames);
    for (uint32_t i = 0; i < n; ++i) {
      float mix = 0.0f;
      for (uint32_t c = 0; c < channelCount; ++c) mix += channels[c][done + i];
      mixes[i] = mix * scale;
    }
    Detect(mixes, n);
    done += n;
  }
  cascade.Process(channels, channelCount, frames);
}
