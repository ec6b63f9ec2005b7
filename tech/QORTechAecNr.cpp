#include "QORTechAecNr.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <utility>

namespace {

constexpr float kToPcm = 32768.0f;
constexpr float kFromPcm = 1.0f / 32768.0f;
constexpr float kMixSeconds = 0.03f;
constexpr float kLevelSeconds = 0.3f;
constexpr float kPowerSeconds = 0.03f;
constexpr float kNoFloor = std::numeric_limits<float>::max();
constexpr float kLevelFloor = 1e-7f;  // -140 dBFS: below this the room counts as silent

spx_int16_t ToPcm(float v) {
  const long s = std::lrint(v * kToPcm);
  return static_cast<spx_int16_t>(std::clamp(s, -32768L, 32767L));
}

float MoveToward(float value, float target, float step) {
  return value < target ? std::min(value + step, target) : std::max(value - step, target);
}

int32_t WholeDb(int32_t hundredths) {
  return static_cast<int32_t>(std::lround(hundredths / 100.0));
}

}  // namespace

QORTechAecNr::QORTechAecNr() : QORTechProcessBase(kTechId) {
  QORTechControls& c = Controls();
  aecEnable_ = c.Add({"AECNR-AEC Enable", kTechControlSwitch, 0, 1, 1});
  echoSuppression_ = c.Add({"AECNR-Echo Suppression", kTechControlHundredths, -6000, -1000, -4000});
  nrEnable_ = c.Add({"AECNR-NR Enable", kTechControlSwitch, 0, 1, 1});
  nrLevel_ = c.Add({"AECNR-NR Level", kTechControlHundredths, -4000, -300, -1500});
}

QORTechAecNr::~QORTechAecNr() {
  Release();
}

void QORTechAecNr::Release() {
  if (preprocess_ != nullptr) speex_preprocess_state_destroy(preprocess_);
  if (echo_ != nullptr) speex_echo_state_destroy(echo_);
  preprocess_ = nullptr;
  echo_ = nullptr;
  block_ = 0;
}

bool QORTechAecNr::OnInit(uint32_t channels, uint32_t rate) {
  Release();
  const uint32_t block = rate / 100;
  auto speexRate = static_cast<spx_int32_t>(rate);
  preprocess_ = speex_preprocess_state_init(static_cast<int>(block), speexRate);
  if (preprocess_ == nullptr) return false;
  // Without a reference channel there is no echo to model.
  if (channels >= 2) {
    echo_ = speex_echo_state_init(static_cast<int>(block), static_cast<int>(rate * kTailMs / 1000));
    if (echo_ == nullptr) {
      Release();
      return false;
    }
    speex_echo_ctl(echo_, SPEEX_ECHO_SET_SAMPLING_RATE, &speexRate);
  }
  // Noise reduction always runs inside speexdsp (it also measures the room); the switch mixes
  // its result with the equally delayed dry signal.
  spx_int32_t on = 1;
  spx_int32_t off = 0;
  speex_preprocess_ctl(preprocess_, SPEEX_PREPROCESS_SET_DENOISE, &on);
  speex_preprocess_ctl(preprocess_, SPEEX_PREPROCESS_SET_AGC, &off);
  speex_preprocess_ctl(preprocess_, SPEEX_PREPROCESS_SET_DEREVERB, &off);

  block_ = block;
  mic_.assign(block, 0);
  reference_.assign(block, 0);
  cancelled_.assign(block, 0);
  work_.assign(block, 0);
  current_.assign(block, 0.0f);
  delayed_.assign(block, 0.0f);
  side_.assign(block, 0.0f);
  historyBlocks_ = std::clamp<uint32_t>(kHistoryFrames / block, 2, kHistoryBlocks);
  history_.assign(static_cast<size_t>(historyBlocks_) * block, 0);
  historyNext_ = 0;
  historyCount_ = 0;

  mixStep_ = static_cast<float>(block) / (kMixSeconds * static_cast<float>(rate));
  levelCoeff_ = 1.0f - std::exp(-static_cast<float>(block) / (kLevelSeconds * rate));
  powerCoeff_ = 1.0f - std::exp(-static_cast<float>(block) / (kPowerSeconds * rate));
  windowBlocks_ = 100;  // one second of blocks
  windowCount_ = 0;
  power_ = 0.0f;
  windowMin_ = kNoFloor;
  previousMin_ = kNoFloor;
  ambient_ = 0.0f;
  echoLinked_ = false;
  appliedNrDb_ = 1;
  appliedEchoDb_ = 1;
  return true;
}

void QORTechAecNr::ApplySuppression(bool echoLinked) {
  const QORTechControls& c = Controls();
  spx_int32_t nrDb = WholeDb(c.Value(nrLevel_));
  if (nrDb != appliedNrDb_) {
    speex_preprocess_ctl(preprocess_, SPEEX_PREPROCESS_SET_NOISE_SUPPRESS, &nrDb);
    appliedNrDb_ = nrDb;
  }
  spx_int32_t echoDb = WholeDb(c.Value(echoSuppression_));
  if (echoDb != appliedEchoDb_) {
    speex_preprocess_ctl(preprocess_, SPEEX_PREPROCESS_SET_ECHO_SUPPRESS, &echoDb);
    appliedEchoDb_ = echoDb;
  }
  // Residual-echo suppression follows the canceller: off with it, or echo would still be cut.
  if (echoLinked != echoLinked_) {
    speex_preprocess_ctl(preprocess_, SPEEX_PREPROCESS_SET_ECHO_STATE,
                         echoLinked ? static_cast<void*>(echo_) : nullptr);
    echoLinked_ = echoLinked;
  }
}

void QORTechAecNr::OnProcess(float* const* channels, uint32_t frames,
                             const TechCallback* callback) {
  // speexdsp works on whole blocks; the host feeds exactly the declared size.
  if (frames != block_ || preprocess_ == nullptr) return;
  ProcessBlock(channels, callback);
}

void QORTechAecNr::ProcessBlock(float* const* ch, const TechCallback* callback) {
  const QORTechControls& c = Controls();
  const uint32_t n = block_;
  float* voice = ch[0];
  const bool hasReference = echo_ != nullptr;
  const float aecTarget = hasReference && c.IsOn(aecEnable_) ? 1.0f : 0.0f;
  const float nrTarget = c.IsOn(nrEnable_) ? 1.0f : 0.0f;
  if (IsFresh()) {
    aecMix_ = aecTarget;
    nrMix_ = nrTarget;
  }
  ApplySuppression(aecTarget > 0.0f);

  const float aecFrom = aecMix_;
  aecMix_ = MoveToward(aecMix_, aecTarget, mixStep_);
  if (hasReference) {
    // The canceller keeps running while switched off so that it stays adapted.
    for (uint32_t i = 0; i < n; ++i) {
      mic_[i] = ToPcm(voice[i]);
      reference_[i] = ToPcm(ch[1][i]);
    }
    speex_echo_cancellation(echo_, mic_.data(), reference_.data(), cancelled_.data());
    const float slope = (aecMix_ - aecFrom) / static_cast<float>(n);
    for (uint32_t i = 0; i < n; ++i) {
      const float mix = aecFrom + slope * static_cast<float>(i + 1);
      current_[i] = voice[i] + mix * (cancelled_[i] * kFromPcm - voice[i]);
    }
  } else {
    std::memcpy(current_.data(), voice, n * sizeof(float));
  }

  const float floor = TrackNoiseFloor();
  for (uint32_t i = 0; i < n; ++i) work_[i] = ToPcm(current_[i]);
  std::memcpy(&history_[static_cast<size_t>(historyNext_) * n], work_.data(),
              n * sizeof(spx_int16_t));
  historyNext_ = historyNext_ + 1 == historyBlocks_ ? 0 : historyNext_ + 1;
  historyCount_ = std::min(historyCount_ + 1, historyBlocks_);
  speex_preprocess_run(preprocess_, work_.data());

  const float nrFrom = nrMix_;
  nrMix_ = MoveToward(nrMix_, nrTarget, mixStep_);
  const float nrSlope = (nrMix_ - nrFrom) / static_cast<float>(n);
  for (uint32_t i = 0; i < n; ++i) {
    const float mix = nrFrom + nrSlope * static_cast<float>(i + 1);
    voice[i] = delayed_[i] + mix * (work_[i] * kFromPcm - delayed_[i]);
  }
  std::swap(current_, delayed_);
  for (uint32_t o = 1; o < Channels(); ++o) std::memcpy(ch[o], voice, n * sizeof(float));

  const float before = ambient_;
  ambient_ += levelCoeff_ * (floor - ambient_);
  if (ambient_ < kLevelFloor) ambient_ = 0.0f;
  if (callback == nullptr || callback->function == nullptr) return;
  const float slope = (ambient_ - before) / static_cast<float>(n);
  for (uint32_t i = 0; i < n; ++i) side_[i] = before + slope * static_cast<float>(i + 1);
  SendLevel(callback);
}

float QORTechAecNr::TrackNoiseFloor() {
  double sum = 0.0;
  for (float v : current_) sum += static_cast<double>(v) * v;
  const auto power = static_cast<float>(sum / static_cast<double>(block_));
  power_ = IsFresh() ? power : power_ + powerCoeff_ * (power - power_);
  // Speech comes and goes, the room stays: the floor is the quietest the last seconds were.
  windowMin_ = std::min(windowMin_, power_);
  if (++windowCount_ == windowBlocks_) {
    previousMin_ = windowMin_;
    windowMin_ = power_;
    windowCount_ = 0;
  }
  return std::sqrt(std::min(previousMin_, windowMin_));
}

void QORTechAecNr::SendLevel(const TechCallback* callback) {
  // A fresh record each time: the host may not leave it as it found it.
  sideRecord_ = {side_.data(), kTechSideChainRole, 0, nullptr};
  callback->function(&sideRecord_, block_, callback->context);
}

void QORTechAecNr::OnTakeState(QORTechProcessBase& other) {
  auto& peer = static_cast<QORTechAecNr&>(other);
  if (peer.block_ != block_ || block_ == 0) return;
  aecMix_ = peer.aecMix_;
  nrMix_ = peer.nrMix_;
  ambient_ = peer.ambient_;
  power_ = peer.power_;
  windowMin_ = peer.windowMin_;
  previousMin_ = peer.previousMin_;
  windowCount_ = peer.windowCount_;
  delayed_ = peer.delayed_;
  // speexdsp offers no way to copy its models. The noise model is retrained from the other's
  // recent input, and the last block is run in full so that the overlap-add continues seamlessly;
  // the echo canceller is primed with the last block only and adapts afresh.
  const QORTechControls& c = Controls();
  ApplySuppression(echo_ != nullptr && c.IsOn(aecEnable_));
  const uint32_t n = block_;
  for (uint32_t k = 0; k < peer.historyCount_; ++k) {
    const uint32_t index =
        (peer.historyNext_ + peer.historyBlocks_ - peer.historyCount_ + k) % peer.historyBlocks_;
    std::memcpy(work_.data(), &peer.history_[static_cast<size_t>(index) * n],
                n * sizeof(spx_int16_t));
    if (k + 1 < peer.historyCount_) {
      speex_preprocess_estimate_update(preprocess_, work_.data());
    } else {
      speex_preprocess_run(preprocess_, work_.data());
    }
  }
  history_ = peer.history_;
  historyNext_ = peer.historyNext_;
  historyCount_ = peer.historyCount_;
  if (echo_ != nullptr && peer.echo_ != nullptr && peer.historyCount_ > 0) {
    speex_echo_cancellation(echo_, peer.mic_.data(), peer.reference_.data(), cancelled_.data());
  }
}
