#include "QORTechPeq.h"

namespace {

const char* const kTypeNames[] = {"Off",      "Peak",      "Low Shelf", "High Shelf",
                                  "Low Pass", "High Pass", "Notch",     "All Pass"};

}  // namespace

QORTechPeq::QORTechPeq() : QORTechProcessBase(kTechId) {
  QORTechControls& c = Controls();
  enable_ = c.Add({"PEQ-Enable", kTechControlSwitch, 0, 1, 1});
  preamp_ = c.Add({"PEQ-Preamp", kTechControlHundredths, -3000, 3000, 0});
  for (int b = 0; b < kBands; ++b) {
    const int n = b + 1;
    bands_[b].type = c.AddNamed({nullptr, kTechControlEnumerated, 0, 7, 0, kTypeNames, 8},
                                "PEQ-Band %d Type", n);
    bands_[b].freq = c.AddNamed({nullptr, kTechControlHundredths, 1000, 2400000, 100000},
                                "PEQ-Band %d Frequency", n);
    bands_[b].gain =
        c.AddNamed({nullptr, kTechControlHundredths, -3000, 3000, 0}, "PEQ-Band %d Gain", n);
    bands_[b].q = c.AddNamed({nullptr, kTechControlHundredths, 1, 10000, 71}, "PEQ-Band %d Q", n);
    bands_[b].channel =
        c.AddNamed({nullptr, kTechControlInteger, 0, 12, 0}, "PEQ-Band %d Channel", n);
  }
}

bool QORTechPeq::OnInit(uint32_t /*channels*/, uint32_t rate) {
  eq_.Init(rate, kBands);
  return true;
}

void QORTechPeq::OnProcess(float* const* channels, uint32_t frames, const TechCallback*) {
  const QORTechControls& c = Controls();
  const uint32_t count = Channels();
  const bool on = c.IsOn(enable_);
  for (int b = 0; b < kBands; ++b) {
    QORTechParametricEq::Band& t = targets_[b];
    t.type = on ? c.Value(bands_[b].type) : QORTechParametricEq::kOff;
    t.freq = c.Value(bands_[b].freq) / 100.0f;
    t.gainDb = c.Value(bands_[b].gain) / 100.0f;
    t.q = c.Value(bands_[b].q) / 100.0f;
    t.channel = static_cast<uint32_t>(c.Value(bands_[b].channel));
  }
  const float preampDb = on ? c.Value(preamp_) / 100.0f : 0.0f;
  Grid().Walk(frames, [&](uint32_t offset, uint32_t n, uint32_t at) {
    for (uint32_t ch = 0; ch < count; ++ch) sub_[ch] = channels[ch] + offset;
    if (at == 0) eq_.Step(targets_.data(), preampDb, IsFresh() && offset == 0);
    eq_.Process(sub_.data(), count, n);
  });
}

void QORTechPeq::OnTakeState(QORTechProcessBase& other) {
  eq_ = static_cast<QORTechPeq&>(other).eq_;
}
