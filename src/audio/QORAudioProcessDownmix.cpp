#include "audio/QORAudioProcessDownmix.h"

#include <cstddef>

#include "audio/QORAudioChannelFold.h"

uint32_t QORAudioProcessDownmix::ModesFor(const std::string& elementName, uint32_t inputCode,
                                          uint32_t outputCode, uint32_t (&modes)[2]) {
  uint32_t count = 0;
  const bool surround = inputCode == 4 || inputCode == 8;
  if (elementName == "Downmix") {
    if (surround && (outputCode == 1 || outputCode == 2)) modes[count++] = kMode51ToFront;
    if ((surround || inputCode == 2) && outputCode == 1) modes[count++] = kModeStereoToLeft;
  } else if (elementName == "Upmix" && inputCode == 1) {
    modes[count++] = kModeLeftToRight;
  }
  return count;
}

bool QORAudioProcessDownmix::Init(uint32_t, uint32_t) {
  return true;
}

void QORAudioProcessDownmix::Process(IQORAudioData<float>& data) {
  if (bypass_) return;
  const uint32_t channels = data.GetChannelCount();
  uint32_t needed = 0;
  switch (mode_) {
    case kMode51ToFront:
      needed = 6;
      break;
    case kModeStereoToLeft:
    case kModeLeftToRight:
      needed = 2;
      break;
    default:
      return;
  }
  if (channels < needed) return;
  float* samples = data.GetSamples(true, true);
  if (samples == nullptr) return;
  const uint32_t frames = data.GetFrameCount();
  for (size_t f = 0; f < frames; ++f) {
    float* frame = samples + f * channels;
    if (mode_ == kMode51ToFront) {
      const float left = QORAudioChannelFold::Front(frame[0], frame[2], frame[4]);
      const float right = QORAudioChannelFold::Front(frame[1], frame[2], frame[5]);
      frame[0] = left;
      frame[1] = right;
      frame[2] = frame[3] = frame[4] = frame[5] = 0.0f;
    } else if (mode_ == kModeStereoToLeft) {
      frame[0] = QORAudioChannelFold::Mono(frame[0], frame[1]);
      frame[1] = 0.0f;
    } else {
      frame[1] = frame[0];
    }
  }
  data.ReleaseSamples();
}

bool QORAudioProcessDownmix::GetControl(QORUTSValue&) {
  return false;
}

bool QORAudioProcessDownmix::SetControl(const QORUTSValue&) {
  return false;
}

int32_t QORAudioProcessDownmix::GetControlInfo(std::vector<QORUTSControlInfo>& list) {
  list.clear();
  return 0;
}
