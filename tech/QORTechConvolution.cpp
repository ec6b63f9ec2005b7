#include "QORTechConvolution.h"

#include <sndfile.h>
#include <speex/speex_resampler.h>

#include <algorithm>
#include <cmath>

namespace {

// Frames per pass through the dry copy.
constexpr uint32_t kChunk = 1024;

// FNV-1a over bytes, continuing from hash.
uint64_t Digest(uint64_t hash, const void* data, size_t size) {
  const auto* bytes = static_cast<const unsigned char*>(data);
  for (size_t i = 0; i < size; ++i) hash = (hash ^ bytes[i]) * 0x100000001b3ull;
  return hash;
}

}  // namespace

QORTechConvolution::QORTechConvolution() : QORTechProcessBase(kTechId) {
  QORTechControls& c = Controls();
  enable_ = c.Add({"CONV-Enable", kTechControlSwitch, 0, 1, 1});
  mix_ = c.Add({"CONV-Mix", kTechControlInteger, 0, 100, 100});
  gain_ = c.Add({"CONV-Gain", kTechControlHundredths, -2400, 1200, 0});
}

bool QORTechConvolution::SetControlString(const char* name, const char* value) {
  if (name == nullptr || std::string(name) != kResponseControl) {
    return QORTechProcessBase::SetControlString(name, value);
  }
  if (value == nullptr) return false;
  SF_INFO info{};
  SNDFILE* file = sf_open(value, SFM_READ, &info);
  if (file == nullptr) return false;
  const bool fits = info.channels > 0 && info.frames > 0 && info.samplerate > 0 &&
                    static_cast<size_t>(info.frames) <= kMaxTaps;
  std::vector<float> interleaved(fits ? static_cast<size_t>(info.frames) * info.channels : 0);
  const bool read = fits && sf_readf_float(file, interleaved.data(), info.frames) == info.frames;
  sf_close(file);
  if (!read) return false;
  file_.assign(static_cast<size_t>(info.channels), std::vector<float>(info.frames));
  for (sf_count_t f = 0; f < info.frames; ++f) {
    for (int c = 0; c < info.channels; ++c) file_[c][f] = interleaved[f * info.channels + c];
  }
  fileRate_ = static_cast<uint32_t>(info.samplerate);
  // Two processes know by this that they play the same response, whatever the files' names.
  const int64_t layout[] = {info.frames, info.channels, info.samplerate};
  fileKey_ = Digest(Digest(0xcbf29ce484222325ull, layout, sizeof layout), interleaved.data(),
                    interleaved.size() * sizeof(float));
  path_ = value;
  // Set after Init: the response takes effect now (this is the chain's building thread).
  if (Rate() != 0) ready_ = Prepare(Channels(), Rate());
  return true;
}

bool QORTechConvolution::GetControlString(const char* name, const char** value) {
  if (name == nullptr || std::string(name) != kResponseControl) {
    return QORTechProcessBase::GetControlString(name, value);
  }
  if (value == nullptr) return false;
  *value = path_.c_str();
  return true;
}

bool QORTechConvolution::Prepare(uint32_t channels, uint32_t rate) {
  if (file_.empty()) return false;
  std::vector<std::vector<float>> responses;
  // Converter output dropped in front, the same for every channel so that they keep their timing.
  size_t lead = 0;
  size_t delay = 0;  // the converter's, at the stream's rate
  for (uint32_t c = 0; c < channels; ++c) {
    const std::vector<float>& source = file_[std::min<size_t>(c, file_.size() - 1)];
    if (fileRate_ == rate) {
      responses.push_back(source);
      continue;
    }
    // Converted once; the taps scale with the rates so that the response keeps its gain.
    int error = 0;
    SpeexResamplerState* resampler = speex_resampler_init(1, fileRate_, rate, 10, &error);
    if (resampler == nullptr) return false;
    const int skip = speex_resampler_get_input_latency(resampler);
    std::vector<float> input(source);
    input.resize(source.size() + static_cast<size_t>(skip), 0.0f);
    std::vector<float> output(
        static_cast<size_t>(std::ceil(static_cast<double>(input.size()) * rate / fileRate_) + 16));
    spx_uint32_t in = static_cast<spx_uint32_t>(input.size());
    spx_uint32_t out = static_cast<spx_uint32_t>(output.size());
    speex_resampler_process_float(resampler, 0, input.data(), &in, output.data(), &out);
    speex_resampler_destroy(resampler);
    output.resize(out);
    const float scale = static_cast<float>(fileRate_) / static_cast<float>(rate);
    for (float& tap : output) tap *= scale;
    // The converter delays by its own latency at the output rate, and rings ahead of each sample
    // for as long. Only what lies ahead of the ringing goes: a response that starts at once (one
    // trimmed to its onset, a minimum-phase filter) keeps its ringing and comes that much later
    // (2.9 ms at 44.1 kHz), since without it its level would be off by up to 4 dB.
    delay = static_cast<size_t>(std::lround(static_cast<double>(skip) * rate / fileRate_));
    float peak = 0.0f;
    for (const float tap : output) peak = std::max(peak, std::fabs(tap));
    size_t quiet = 0;
    while (quiet < output.size() && std::fabs(output[quiet]) <= 1e-4f * peak) ++quiet;
    lead = std::min(responses.empty() ? delay : lead, quiet);
    responses.push_back(std::move(output));
  }
  uint32_t latency = 0;
  if (fileRate_ != rate) {
    for (std::vector<float>& taps : responses) {
      taps.erase(taps.begin(),
                 taps.begin() + static_cast<std::ptrdiff_t>(std::min(lead, taps.size())));
      if (taps.empty()) taps.push_back(0.0f);
    }
    // What stays of the converter's delay puts the response's onset that much later.
    latency = static_cast<uint32_t>(delay > lead ? delay - lead : 0);
  }
  if (!convolver_.Init(responses, kPartition)) return false;
  if (latency != latency_ || delay_.size() != channels) {
    latency_ = latency;
    delay_.assign(channels, std::vector<float>(latency, 0.0f));
    delayAt_ = 0;
  }
  heardKey_ = fileKey_;
  return true;
}

bool QORTechConvolution::OnInit(uint32_t channels, uint32_t rate) {
  dry_.assign(channels, std::vector<float>(kChunk, 0.0f));
  wet_.SetRate(static_cast<float>(rate), 0.02f);
  level_.SetRate(static_cast<float>(rate), 0.02f);
  wet_.Jump(Controls().IsOn(enable_) ? Controls().Value(mix_) / 100.0f : 0.0f);
  level_.Jump(std::pow(10.0f, Controls().Value(gain_) / 2000.0f));
  // The base publishes the format once this returns: hand it over explicitly.
  ready_ = Prepare(channels, rate);
  return true;
}

void QORTechConvolution::OnProcess(float* const* channels, uint32_t frames, const TechCallback*) {
  if (!ready_) return;
  const QORTechControls& c = Controls();
  const float wetTarget = c.IsOn(enable_) ? c.Value(mix_) / 100.0f : 0.0f;
  const float levelTarget = c.IsOn(enable_) ? std::pow(10.0f, c.Value(gain_) / 2000.0f) : 1.0f;
  if (IsFresh()) {
    wet_.Jump(wetTarget);
    level_.Jump(levelTarget);
  }
  // Switched off and settled: the input exactly (the convolver still hears it, for a clean return).
  const bool dryOnly =
      wetTarget == 0.0f && wet_.Value() == 0.0f && levelTarget == 1.0f && level_.Value() == 1.0f;
  const uint32_t count = Channels();
  for (uint32_t done = 0; done < frames;) {
    const uint32_t n = std::min(frames - done, kChunk);
    float* chunk[QORTechProcessBase::kMaxChannels];
    for (uint32_t ch = 0; ch < count; ++ch) {
      chunk[ch] = channels[ch] + done;
      if (latency_ == 0) {
        std::copy_n(chunk[ch], n, dry_[ch].data());
        continue;
      }
      float* ring = delay_[ch].data();
      uint32_t at = delayAt_;
      for (uint32_t i = 0; i < n; ++i) {
        dry_[ch][i] = ring[at];
        ring[at] = chunk[ch][i];
        at = at + 1 == latency_ ? 0 : at + 1;
      }
    }
    if (latency_ != 0) delayAt_ = static_cast<uint32_t>((delayAt_ + n) % latency_);
    convolver_.Process(chunk, count, n);
    for (uint32_t i = 0; i < n; ++i) {
      wet_.Step(wetTarget, 1e-4f);
      level_.Step(levelTarget, 1e-5f);
      const float wet = wet_.Value();
      const float level = level_.Value();
      for (uint32_t ch = 0; ch < count; ++ch) {
        const float dry = dry_[ch][i];
        chunk[ch][i] = dryOnly ? dry : level * (dry + wet * (chunk[ch][i] - dry));
      }
    }
    done += n;
  }
}

void QORTechConvolution::OnTakeState(QORTechProcessBase& other) {
  auto& peer = static_cast<QORTechConvolution&>(other);
  wet_ = peer.wet_;
  level_ = peer.level_;
  // The dry signal goes on as late as before whenever the delay is the same.
  if (latency_ == peer.latency_ && delay_.size() == peer.delay_.size()) {
    for (size_t ch = 0; ch < delay_.size(); ++ch) {
      std::copy(peer.delay_[ch].begin(), peer.delay_[ch].end(), delay_[ch].begin());
    }
    delayAt_ = peer.delayAt_;
  }
  // The same response carries on where the other is, so a long tail goes on under the crossfade;
  // another one starts from silence. The base has checked the rate and the channel count.
  if (ready_ && peer.ready_ && heardKey_ == peer.heardKey_) convolver_.TakeHistory(peer.convolver_);
}
