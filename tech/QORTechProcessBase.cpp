#include "QORTechProcessBase.h"

#include <cmath>
#include <cstring>

#if defined(__SSE__)
#include <xmmintrin.h>
#endif

namespace {

// Flush-to-zero and denormals-are-zero for the duration of one Process call, so that decaying
// filter and envelope state cannot fall into slow subnormal arithmetic.
class DenormalGuard {
 public:
#if defined(__SSE__)
  DenormalGuard() : saved_(_mm_getcsr()) {
    _mm_setcsr(saved_ | 0x8040u);
  }
  ~DenormalGuard() {
    _mm_setcsr(saved_);
  }

 private:
  unsigned saved_;
#endif
};

}  // namespace

int32_t QORTechProcessBase::GetControlInfo(const TechControlDesc** descs) {
  return controls_.Describe(descs);
}

bool QORTechProcessBase::SetControlInt(const char* name, int32_t value) {
  return controls_.SetInt(name, value);
}

bool QORTechProcessBase::SetControlString(const char* name, const char* value) {
  return controls_.SetString(name, value);
}

bool QORTechProcessBase::GetControlInt(const char* name, int32_t* value) {
  return controls_.GetInt(name, value);
}

bool QORTechProcessBase::GetControlString(const char* name, const char** value) {
  return controls_.GetString(name, value);
}

bool QORTechProcessBase::TakeState(TechProcess* other) {
  auto* peer = dynamic_cast<QORTechProcessBase*>(other);
  if (peer == nullptr || peer == this || std::strcmp(peer->techId_, techId_) != 0) return false;
  if (channels_ == 0 || peer->channels_ != channels_ || peer->rate_ != rate_) return false;
  OnTakeState(*peer);
  grid_ = peer->grid_;
  fresh_ = false;
  return true;
}

bool QORTechProcessBase::Init(uint32_t channels, uint32_t sampleRate) {
  channels_ = 0;
  rate_ = 0;
  if (channels < 1 || channels > kMaxChannels || sampleRate < kMinRate || sampleRate > kMaxRate) {
    return false;
  }
  if (!OnInit(channels, sampleRate)) return false;
  channels_ = channels;
  rate_ = sampleRate;
  grid_.Reset();
  fresh_ = true;
  return true;
}

void QORTechProcessBase::Process(TechChannel* input, TechChannel* output, uint32_t frames,
                                 const TechCallback* callback) {
  // Processing is in place; a list that differs from the input, is short or has holes is left as
  // it is rather than half processed.
  if (channels_ == 0 || frames == 0 || input == nullptr || (output != nullptr && output != input)) {
    return;
  }
  TechChannel* channel = input;
  for (uint32_t i = 0; i < channels_; ++i) {
    if (channel == nullptr || channel->samples == nullptr) return;
    pointers_[i] = channel->samples;
    channel = channel->next;
  }
  // A non-finite input sample would poison every recursive state after it; it becomes silence.
  // Tested on the bit patterns (all exponent bits set: infinity or NaN), so the loop runs in vector
  // registers.
  for (uint32_t i = 0; i < channels_; ++i) {
    float* samples = pointers_[i];
    for (uint32_t f = 0; f < frames; ++f) {
      uint32_t bits;
      std::memcpy(&bits, samples + f, sizeof(bits));
      bits = (bits & 0x7F800000u) == 0x7F800000u ? 0u : bits;
      std::memcpy(samples + f, &bits, sizeof(bits));
    }
  }
  DenormalGuard guard;
  OnProcess(pointers_.data(), frames, callback);
  fresh_ = false;
}
