#include "audio/QORAudioProcessDownmix.h"

#include <cstddef>

#include "audio/QORAudioChannelFold.h"

uint32_t QORAudioProcessDownmix::ModeFor(const std::string& elementName, uint32_t layoutCode) {
  if (elementName == "Downmix") {
    if (layoutCode == 2) return kModeStereoToLeft;
    if (layoutCode == 4 || layoutCode == 8) return kMode51ToFront;
  } else if (elementName == "Upmix" && layoutCode == 1) {
    return kModeLeftToRight;
  }
  return kModeNone;
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
