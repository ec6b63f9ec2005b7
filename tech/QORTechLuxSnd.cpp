#include "QORTechLuxSnd.h"

#include <algorithm>
#include <cmath>

namespace {

const char* const kTypeNames[] = {"Off", "Peak", "Low Shelf", "High Shelf"};

const char* const kBandNames[QORTechParametricEq::kBands][4] = {
    {"LUXSND-PEQ Band 1 Type", "LUXSND-PEQ Band 1 Frequency", "LUXSND-PEQ Band 1 Gain",
     "LUXSND-PEQ Band 1 Q"},
    {"LUXSND-PEQ Band 2 Type", "LUXSND-PEQ Band 2 Frequency", "LUXSND-PEQ Band 2 Gain",
     "LUXSND-PEQ Band 2 Q"},
    {"LUXSND-PEQ Band 3 Type", "LUXSND-PEQ Band 3 Frequency", "LUXSND-PEQ Band 3 Gain",
     "LUXSND-PEQ Band 3 Q"},
    {"LUXSND-PEQ Band 4 Type", "LUXSND-PEQ Band 4 Frequency", "LUXSND-PEQ Band 4 Gain",
     "LUXSND-PEQ Band 4 Q"},
    {"LUXSND-PEQ Band 5 Type", "LUXSND-PEQ Band 5 Frequency", "LUXSND-PEQ Band 5 Gain",
     "LUXSND-PEQ Band 5 Q"},
};

const int32_t kDefaultFreq[QORTechParametricEq::kBands] = {100, 400, 1000, 3000, 8000};

}  // namespace

QORTechLuxSnd::QORTechLuxSnd() : QORTechProcessBase(kTechId) {
  QORTechControls& c = Controls();
  eqEnable_ = c.Add({"LUXSND-GEQ Enable", kTechControlSwitch, 0, 1, 0});
  for (int b = 0; b < QORTechParametricEq::kBands; ++b) {
    bands_[b].type = c.Add({kBandNames[b][0], kTechControlEnumerated, 0, 3, 0, kTypeNames, 4});
    bands_[b].freq = c.Add({kBandNames[b][1], kTechControlInteger, 20, 20000, kDefaultFreq[b]});
    bands_[b].gain = c.Add({kBandNames[b][2], kTechControlHundredths, -1500, 1500, 0});
    bands_[b].q = c.Add({kBandNames[b][3], kTechControlHundredths, 10, 1000, 71});
  }
  loudEnable_ = c.Add({"LUXSND-AmploHD Enable", kTechControlSwitch, 0, 1, 0});
  loudTarget_ = c.Add({"LUXSND-AmploHD Target Level", kTechControlHundredths, -3000, -1000, -2000});
  bassEnable_ = c.Add({"LUXSND-GravHD Boost Enable", kTechControlSwitch, 0, 1, 0});
  bassLevel_ = c.Add({"LUXSND-GravHD Boost Level", kTechControlHundredths, 0, 1200, 600});
  limiterEnable_ = c.Add({"LUXSND-Limiter Enable", kTechControlSwitch, 0, 1, 1});
  limiterCeiling_ = c.Add({"LUXSND-Limiter Ceiling", kTechControlHundredths, -1200, 0, -100});
}

bool QORTechLuxSnd::OnInit(uint32_t channels, uint32_t rate) {
  eq_.Init(rate, kSubBlock);
  loudness_.Init(rate, kSubBlock);
  bass_.Init(rate, kSubBlock);
  limiter_.Init(channels, rate, 0.0015f);
  limiter_.SetReleaseSeconds(0.1f);
  return true;
}

void QORTechLuxSnd::OnProcess(float* const* channels, uint32_t frames, const TechCallback*) {
  const QORTechControls& c = Controls();
  const uint32_t count = Channels();
  std::array<QORTechParametricEq::Band, QORTechParametricEq::kBands> targets{};
  const bool eqOn = c.IsOn(eqEnable_);
  for (int b = 0; b < QORTechParametricEq::kBands; ++b) {
    targets[b].type = eqOn ? c.Value(bands_[b].type) : QORTechParametricEq::kOff;
    targets[b].freq = static_cast<float>(c.Value(bands_[b].freq));
    targets[b].gainDb = c.Value(bands_[b].gain) / 100.0f;
    targets[b].q = c.Value(bands_[b].q) / 100.0f;
  }
  const bool loud = c.IsOn(loudEnable_);
  const float loudTarget = c.Value(loudTarget_) / 100.0f;
  const float boost = c.IsOn(bassEnable_) ? c.Value(bassLevel_) / 100.0f : 0.0f;
  for (uint32_t offset = 0; offset < frames; offset += kSubBlock) {
    const uint32_t n = std::min(kSubBlock, frames - offset);
    for (uint32_t ch = 0; ch < count; ++ch) sub_[ch] = channels[ch] + offset;
    eq_.Process(sub_.data(), count, n, targets, IsFresh() && offset == 0);
    loudness_.Process(sub_.data(), count, n, loud, loudTarget);
    bass_.Process(sub_.data(), count, n, boost);
  }
  limiter_.SetCeiling(c.IsOn(limiterEnable_) ? std::pow(10.0f, c.Value(limiterCeiling_) / 2000.0f)
                                             : 1e30f);
  limiter_.Process(channels, frames);
}

void QORTechLuxSnd::OnTakeState(QORTechProcessBase& other) {
  auto& peer = static_cast<QORTechLuxSnd&>(other);
  eq_ = peer.eq_;
  loudness_ = peer.loudness_;
  bass_ = peer.bass_;
  limiter_.TakeState(peer.limiter_);
}
