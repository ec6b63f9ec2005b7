#include "audio/QORAudioDataFloat.h"

#include <algorithm>
#include <cstring>

bool QORAudioDataFloat::Init(uint32_t frames, uint32_t channels, uint32_t sampleRate) {
  frames_ = frames;
  channels_ = channels;
  sampleRate_ = sampleRate;
  interleaved_.clear();
  planar_.clear();
  channelMap_.resize(channels, kQORChannelRoleNone);
  SetDefaultChannelMap();
  return true;
}

void QORAudioDataFloat::Reserve(uint32_t frames, uint32_t channels) {
  const size_t count = static_cast<size_t>(frames) * channels;
  interleaved_.reserve(count);
  planar_.reserve(count);
  channelMap_.reserve(channels);
}

float* QORAudioDataFloat::GetSamples(bool discardOther, bool interleaved) {
  const size_t count = static_cast<size_t>(frames_) * channels_;
  if (count == 0) return nullptr;
  std::vector<float>& wanted = interleaved ? interleaved_ : planar_;
  std::vector<float>& other = interleaved ? planar_ : interleaved_;
  if (wanted.empty()) {
    if (!other.empty()) {
      if (interleaved) {
        PlanarToInterleaved();
      } else {
        InterleavedToPlanar();
      }
    } else {
      wanted.assign(count, 0.0f);
    }
  }
  if (discardOther) other.clear();
  return wanted.data();
}

// Both conversions work on raw pointers, and stereo has loops of its own that the compiler turns
// into vector shuffles: every period of a stereo stream passes through them.
void QORAudioDataFloat::InterleavedToPlanar() {
  planar_.resize(interleaved_.size());
  const float* in = interleaved_.data();
  float* out = planar_.data();
  const size_t frames = frames_;
  if (channels_ == 2) {
    float* right = out + frames;
    for (size_t f = 0; f < frames; ++f) {
      out[f] = in[2 * f];
      right[f] = in[2 * f + 1];
    }
    return;
  }
  for (size_t c = 0; c < channels_; ++c) {
    for (size_t f = 0; f < frames; ++f) out[c * frames + f] = in[f * channels_ + c];
  }
}

void QORAudioDataFloat::PlanarToInterleaved() {
  interleaved_.resize(planar_.size());
  const float* in = planar_.data();
  float* out = interleaved_.data();
  const size_t frames = frames_;
  if (channels_ == 2) {
    const float* right = in + frames;
    for (size_t f = 0; f < frames; ++f) {
      out[2 * f] = in[f];
      out[2 * f + 1] = right[f];
    }
    return;
  }
  for (size_t c = 0; c < channels_; ++c) {
    for (size_t f = 0; f < frames; ++f) out[f * channels_ + c] = in[c * frames + f];
  }
}

void QORAudioDataFloat::Clear() {
  std::fill(interleaved_.begin(), interleaved_.end(), 0.0f);
  std::fill(planar_.begin(), planar_.end(), 0.0f);
}

void QORAudioDataFloat::CopyFrom(IQORAudioData<float>& source) {
  if (&source == this) return;
  Init(source.GetFrameCount(), source.GetChannelCount(), source.GetSampleRate());
  const size_t count = static_cast<size_t>(frames_) * channels_;
  if (auto* same = dynamic_cast<QORAudioDataFloat*>(&source)) {
    // Copy the forms the source holds as they are: no conversion, and the source is only read.
    interleaved_.assign(same->interleaved_.begin(), same->interleaved_.end());
    planar_.assign(same->planar_.begin(), same->planar_.end());
  } else if (count != 0) {
    const float* from = source.GetSamples(false, true);
    interleaved_.assign(from, from + count);
    source.ReleaseSamples();
  }
  for (uint32_t i = 0; i < channels_; ++i) SetChannelMapEntry(i, source.GetChannelMapEntry(i));
}

void QORAudioDataFloat::AddChannels(uint32_t count) {
  if (count == 0) return;
  if (interleaved_.empty() && planar_.empty()) {
    Init(frames_, channels_ + count, sampleRate_);
    return;
  }
  if (planar_.empty()) {
    planar_.assign(static_cast<size_t>(channels_ + count) * frames_, 0.0f);
    for (uint32_t c = 0; c < channels_; ++c) {
      for (uint32_t f = 0; f < frames_; ++f) {
        planar_[static_cast<size_t>(c) * frames_ + f] =
            interleaved_[static_cast<size_t>(f) * channels_ + c];
      }
    }
  } else {
    planar_.resize(planar_.size() + static_cast<size_t>(count) * frames_, 0.0f);
  }
  interleaved_.clear();
  channels_ += count;
  // One map entry per call; entries past the end read as "no position" anyway.
  channelMap_.push_back(kQORChannelRoleNone);
}

void QORAudioDataFloat::SetDefaultChannelMap() {
  for (size_t i = 0; i < channelMap_.size(); ++i) {
    channelMap_[i] = static_cast<uint32_t>(std::min<size_t>(i, kQORChannelRoleNone));
  }
}

bool QORAudioDataFloat::SetChannelMapEntry(uint32_t index, uint32_t value) {
  if (index >= channelMap_.size()) return false;
  channelMap_[index] = value;
  return true;
}

uint32_t QORAudioDataFloat::GetChannelMapEntry(uint32_t index) const {
  return index < channelMap_.size() ? channelMap_[index] : kQORChannelRoleNone;
}

bool QORAudioDataFloat::Assign(const float* samples, uint32_t frames, uint32_t channels,
                               bool interleaved, uint32_t sampleRate) {
  Init(frames, channels, sampleRate);
  const size_t count = static_cast<size_t>(frames) * channels;
  if (samples != nullptr && count != 0) {
    (interleaved ? interleaved_ : planar_).assign(samples, samples + count);
  }
  return true;
}
