#include "QORTechLuxSnd.h"

#include <algorithm>
#include <cmath>
#include <numbers>

namespace {

const char* const kLuxSndTypeNames[] = {"Off", "Peak", "Low Shelf", "High Shelf"};

const int32_t kDefaultFreq[QORTechLuxSnd::kBands] = {100, 400, 1000, 3000, 8000};

}  // namespace

QORTechLuxSnd::QORTechLuxSnd() : QORTechProcessBase(kTechId) {
  QORTechControls& c = Controls();
  eqEnable_ = c.Add({"LUXSND-GEQ Enable", kTechControlSwitch, 0, 1, 0});
  for (int b = 0; b < kBands; ++b) {
    const int n = b + 1;
    bands_[b].type = c.AddNamed({nullptr, kTechControlEnumerated, 0, 3, 0, kLuxSndTypeNames, 4},
                                "LUXSND-PEQ Band %d Type", n);
    bands_[b].freq = c.AddNamed({nullptr, kTechControlInteger, 20, 20000, kDefaultFreq[b]},
                                "LUXSND-PEQ Band %d Frequency", n);
    bands_[b].gain =
        c.AddNamed({nullptr, kTechControlHundredths, -1500, 1500, 0}, "LUXSND-PEQ Band %d Gain", n);
    bands_[b].q =
        c.AddNamed({nullptr, kTechControlHundredths, 10, 1000, 71}, "LUXSND-PEQ Band %d Q", n);
  }
  stages_.AddLevelControls(c, kTechId);
  stages_.AddLimiterControls(c, kTechId);
}

bool QORTechLuxSnd::OnInit(uint32_t channels, uint32_t rate) {
  eq_.Init(rate, kBands);
  stages_.Init(channels, rate);
  return true;
}

void QORTechLuxSnd::OnProcess(float* const* channels, uint32_t frames, const TechCallback*) {
  const QORTechControls& c = Controls();
  const uint32_t count = Channels();
  std::array<QORTechParametricEq::Band, kBands> targets{};
  const bool eqOn = c.IsOn(eqEnable_);
  for (int b = 0; b < kBands; ++b) {
    const int32_t type = c.Value(bands_[b].type);
    targets[b].type = eqOn ? type : QORTechParametricEq::kOff;
    targets[b].freq = static_cast<float>(c.Value(bands_[b].freq));
    targets[b].gainDb = c.Value(bands_[b].gain) / 100.0f;
    // These shelves have slope 1 whatever the Q control says.
    const bool shelf =
        type == QORTechParametricEq::kLowShelf || type == QORTechParametricEq::kHighShelf;
    targets[b].q =
        shelf ? static_cast<float>(std::numbers::sqrt2 / 2) : c.Value(bands_[b].q) / 100.0f;
  }
  stages_.Begin(c);
  Grid().Walk(frames, [&](uint32_t offset, uint32_t n, uint32_t at) {
    for (uint32_t ch = 0; ch < count; ++ch) sub_[ch] = channels[ch] + offset;
    if (at == 0) eq_.Step(targets.data(), 0.0f, IsFresh() && offset == 0);
    eq_.Process(sub_.data(), count, n);
    stages_.Process(sub_.data(), count, n, at);
  });
  stages_.Limit(c, channels, frames);
}

void QORTechLuxSnd::OnTakeState(QORTechProcessBase& other) {
  auto& peer = static_cast<QORTechLuxSnd&>(other);
  eq_ = peer.eq_;
  stages_.TakeState(peer.stages_);
}
