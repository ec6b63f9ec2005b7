#include "QORTechParametricEq.h"

#include <cmath>

#include "QORTechBiquadCascade.h"
#include "QORTechBlockGrid.h"

namespace {

// A gainless filter part-way in: its numerator moves from its denominator (flat) to its own.
QORTechBiquad::Coefficients Blend(const QORTechBiquad::Coefficients& c, double presence) {
  const double dry = 1.0 - presence;
  return {dry + presence * c.b0, dry * c.a1 + presence * c.b1, dry * c.a2 + presence * c.b2, c.a1,
          c.a2};
}

// Runs the sections in cascades of at most the cascade's size.
void RunSections(QORTechBiquad* const* sections, int count, float* const* channels,
                 uint32_t channelCount, uint32_t frames) {
  for (int first = 0; first < count;) {
    QORTechBiquadCascade cascade;
    for (; first < count && cascade.Count() < QORTechBiquadCascade::kMaxSections; ++first) {
      cascade.Add(*sections[first]);
    }
    cascade.Process(channels, channelCount, frames);
  }
}

}  // namespace

QORTechBiquad::Coefficients QORTechParametricEq::Design(double rate, const Band& band) {
  if (band.freq >= rate / 2.0) return {};
  switch (band.type) {
    case kPeak:
      return QORTechBiquad::Peaking(rate, band.freq, band.gainDb, band.q);
    case kLowShelf:
      return QORTechBiquad::LowShelf(rate, band.freq, band.gainDb, band.q);
    case kHighShelf:
      return QORTechBiquad::HighShelf(rate, band.freq, band.gainDb, band.q);
    case kLowPass:
      return QORTechBiquad::LowPass(rate, band.freq, band.q);
    case kHighPass:
      return QORTechBiquad::HighPass(rate, band.freq, band.q);
    case kNotch:
      return QORTechBiquad::Notch(rate, band.freq, band.q);
    case kAllPass:
      return QORTechBiquad::AllPass(rate, band.freq, band.q);
    default:
      return {};
  }
}

void QORTechParametricEq::Init(uint32_t rate, int bands) {
  rate_ = rate;
  bands_ = bands < kMaxBands ? bands : kMaxBands;
  const float steps = static_cast<float>(rate) / QORTechBlockGrid::kFrames;
  for (int b = 0; b < kMaxBands; ++b) {
    filters_[b].SetCoefficients({});
    filters_[b].Reset();
    levels_[b].SetRate(steps, 0.02f);
    octaves_[b].SetRate(steps, 0.02f);
    levels_[b].Jump(0.0f);
    octaves_[b].Jump(std::log2(1000.0f));
    current_[b] = Band{};
    targetFreq_[b] = 1000.0f;
    targetOctave_[b] = std::log2(1000.0f);
  }
  preamp_.SetCoefficients({});
  preamp_.Reset();
  preampDb_.SetRate(steps, 0.02f);
  preampDb_.Jump(0.0f);
}

void QORTechParametricEq::Step(const Band* targets, float preampDb, bool jump) {
  for (int b = 0; b < bands_; ++b) {
    const Band& t = targets[b];
    Band& now = current_[b];
    const bool shapeChanges = t.type != now.type || t.channel != now.channel;
    const float level = t.type == kOff ? 0.0f : HasGain(t.type) ? t.gainDb : 1.0f;
    // log2 only when the frequency moves: this runs for every band at every grid block.
    if (t.freq != targetFreq_[b]) {
      targetFreq_[b] = t.freq;
      targetOctave_[b] = std::log2(t.freq);
    }
    const float octaveTarget = targetOctave_[b];
    bool moved = false;
    if (jump) {
      moved = levels_[b].JumpTo(level);
      moved = octaves_[b].JumpTo(octaveTarget) || moved;
      moved = moved || shapeChanges;
      now.type = t.type;
      now.channel = t.channel;
    } else {
      moved = levels_[b].Step(shapeChanges ? 0.0f : level, 0.001f);
      moved = octaves_[b].Step(octaveTarget, 0.0005f) || moved;
      if (shapeChanges && levels_[b].Value() == 0.0f) {
        now.type = t.type;
        now.channel = t.channel;
        moved = true;
      }
    }
    if (moved || now.q != t.q) {
      now.freq = std::exp2(octaves_[b].Value());
      now.q = t.q;
      if (HasGain(now.type)) {
        now.gainDb = levels_[b].Value();
        filters_[b].SetCoefficients(Design(rate_, now));
      } else {
        filters_[b].SetCoefficients(Blend(Design(rate_, now), levels_[b].Value()));
      }
    }
    if (Flat(b)) filters_[b].Reset();
  }
  const bool moved = jump ? preampDb_.JumpTo(preampDb) : preampDb_.Step(preampDb, 0.001f);
  if (moved) {
    QORTechBiquad::Coefficients gain;
    gain.b0 = std::pow(10.0, preampDb_.Value() / 20.0);
    preamp_.SetCoefficients(gain);
  }
}

void QORTechParametricEq::Process(float* const* channels, uint32_t channelCount, uint32_t frames) {
  std::array<QORTechBiquad*, kMaxBands + 1> sections;
  int count = 0;
  if (preampDb_.Value() != 0.0f) sections[count++] = &preamp_;
  for (int b = 0; b < bands_; ++b) {
    if (!Flat(b) && current_[b].channel == 0) sections[count++] = &filters_[b];
  }
  RunSections(sections.data(), count, channels, channelCount, frames);
  // A band of one channel keeps its state in its first lane, the only one it ever runs.
  for (uint32_t ch = 0; ch < channelCount; ++ch) {
    count = 0;
    for (int b = 0; b < bands_; ++b) {
      if (!Flat(b) && current_[b].channel == ch + 1) sections[count++] = &filters_[b];
    }
    if (count > 0) RunSections(sections.data(), count, &channels[ch], 1, frames);
  }
}
