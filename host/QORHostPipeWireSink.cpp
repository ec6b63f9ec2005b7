#include "QORHostPipeWireSink.h"

#include <spa/param/audio/format-utils.h>
#include <spa/param/latency-utils.h>

#include <algorithm>
#include <cstring>

namespace {

// PipeWire's headers build their parameters with C idioms; they stay in this file.
const spa_pod* AudioFormat(spa_pod_builder* builder, int channels, int rate) {
  spa_audio_info_raw info{};
  info.format = SPA_AUDIO_FORMAT_F32P;
  info.rate = static_cast<uint32_t>(rate);
  info.channels = static_cast<uint32_t>(channels);
  static constexpr uint32_t kPositions[] = {
      SPA_AUDIO_CHANNEL_FL, SPA_AUDIO_CHANNEL_FR, SPA_AUDIO_CHANNEL_FC, SPA_AUDIO_CHANNEL_LFE,
      SPA_AUDIO_CHANNEL_RL, SPA_AUDIO_CHANNEL_RR, SPA_AUDIO_CHANNEL_SL, SPA_AUDIO_CHANNEL_SR};
  for (int c = 0; c < channels && c < 8; ++c) info.position[c] = kPositions[c];
  return spa_format_audio_raw_build(builder, SPA_PARAM_EnumFormat, &info);
}

}  // namespace

QORHostPipeWireSink::QORHostPipeWireSink(pw_core* core, std::unique_ptr<QORHostEngine> engine,
                                         Settings settings)
    : core_(core), engine_(std::move(engine)), settings_(std::move(settings)) {
  latency_ = engine_->LatencyFrames();
  interleaved_.assign(static_cast<size_t>(settings_.maxFrames) * settings_.channels, 0.0f);
  captureEvents_.version = PW_VERSION_STREAM_EVENTS;
  captureEvents_.process = &QORHostPipeWireSink::OnProcess;
  captureEvents_.param_changed = &QORHostPipeWireSink::OnCaptureParam;
  playbackEvents_.version = PW_VERSION_STREAM_EVENTS;
  playbackEvents_.param_changed = &QORHostPipeWireSink::OnPlaybackParam;
}

QORHostPipeWireSink::~QORHostPipeWireSink() {
  if (capture_ != nullptr) pw_stream_destroy(capture_);
  if (playback_ != nullptr) pw_stream_destroy(playback_);
  engine_->Unlock();
}

bool QORHostPipeWireSink::Connect(std::string* error) {
  const std::string group = "qorapo-" + settings_.nodeName;
  pw_properties* captureProps = pw_properties_new(
      PW_KEY_MEDIA_CLASS, "Audio/Sink", PW_KEY_NODE_NAME, settings_.nodeName.c_str(),
      PW_KEY_NODE_DESCRIPTION, settings_.description.c_str(), PW_KEY_NODE_GROUP, group.c_str(),
      PW_KEY_NODE_LINK_GROUP, group.c_str(), PW_KEY_NODE_VIRTUAL, "true", nullptr);
  const std::string output = settings_.nodeName + ".output";
  pw_properties* playbackProps = pw_properties_new(
      PW_KEY_NODE_NAME, output.c_str(), PW_KEY_NODE_DESCRIPTION, settings_.description.c_str(),
      PW_KEY_NODE_GROUP, group.c_str(), PW_KEY_NODE_LINK_GROUP, group.c_str(), PW_KEY_NODE_PASSIVE,
      "true", PW_KEY_MEDIA_TYPE, "Audio", PW_KEY_MEDIA_CATEGORY, "Playback", nullptr);
  if (!settings_.target.empty()) {
    pw_properties_set(playbackProps, PW_KEY_TARGET_OBJECT, settings_.target.c_str());
    // Never moved onto another device (or onto this sink) when the device goes.
    pw_properties_set(playbackProps, PW_KEY_NODE_DONT_RECONNECT, "true");
  }
  capture_ = pw_stream_new(core_, settings_.nodeName.c_str(), captureProps);
  playback_ = pw_stream_new(core_, output.c_str(), playbackProps);
  if (capture_ == nullptr || playback_ == nullptr) {
    *error = "PipeWire refused the streams of " + settings_.nodeName + ": " + std::strerror(errno);
    return false;
  }
  pw_stream_add_listener(capture_, &captureListener_, &captureEvents_, this);
  pw_stream_add_listener(playback_, &playbackListener_, &playbackEvents_, this);

  uint8_t buffer[1024];
  spa_pod_builder builder = SPA_POD_BUILDER_INIT(buffer, sizeof buffer);
  const spa_pod* captureFormat = AudioFormat(&builder, settings_.channels, settings_.rate);
  const spa_pod* playbackFormat = AudioFormat(&builder, settings_.channels, settings_.rate);
  const auto flags = static_cast<pw_stream_flags>(
      PW_STREAM_FLAG_AUTOCONNECT | PW_STREAM_FLAG_MAP_BUFFERS | PW_STREAM_FLAG_RT_PROCESS);
  int result = pw_stream_connect(capture_, PW_DIRECTION_INPUT, PW_ID_ANY, flags, &captureFormat, 1);
  if (result >= 0) {
    // The output runs when the input has been processed, in the same cycle.
    result = pw_stream_connect(playback_, PW_DIRECTION_OUTPUT, PW_ID_ANY,
                               static_cast<pw_stream_flags>(flags | PW_STREAM_FLAG_TRIGGER),
                               &playbackFormat, 1);
  }
  if (result < 0) {
    *error = "PipeWire refused to connect " + settings_.nodeName + ": " + std::strerror(-result);
    return false;
  }
  return true;
}

void QORHostPipeWireSink::OnCaptureParam(void* data, uint32_t id, const spa_pod* param) {
  auto* self = static_cast<QORHostPipeWireSink*>(data);
  if (id == SPA_PARAM_Latency) self->ForwardLatency(param, self->playback_);
}

void QORHostPipeWireSink::OnPlaybackParam(void* data, uint32_t id, const spa_pod* param) {
  auto* self = static_cast<QORHostPipeWireSink*>(data);
  if (id == SPA_PARAM_Latency) self->ForwardLatency(param, self->capture_);
}

void QORHostPipeWireSink::ForwardLatency(const spa_pod* param, pw_stream* to) {
  spa_latency_info latency{};
  if (param == nullptr || to == nullptr || spa_latency_parse(param, &latency) < 0) return;
  latency.min_rate += static_cast<uint32_t>(std::max<int64_t>(latency_, 0));
  latency.max_rate += static_cast<uint32_t>(std::max<int64_t>(latency_, 0));
  uint8_t buffer[256];
  spa_pod_builder builder = SPA_POD_BUILDER_INIT(buffer, sizeof buffer);
  const spa_pod* forwarded = spa_latency_build(&builder, SPA_PARAM_Latency, &latency);
  pw_stream_update_params(to, &forwarded, 1);
}

void QORHostPipeWireSink::OnProcess(void* data) {
  static_cast<QORHostPipeWireSink*>(data)->Process();
}

void QORHostPipeWireSink::Process() {
  pw_buffer* in = pw_stream_dequeue_buffer(capture_);
  pw_buffer* out = pw_stream_dequeue_buffer(playback_);
  if (in != nullptr && out != nullptr) {
    const auto channels = static_cast<uint32_t>(settings_.channels);
    spa_buffer* source = in->buffer;
    spa_buffer* target = out->buffer;
    uint32_t frames = source->n_datas > 0 && source->datas[0].chunk != nullptr
                          ? source->datas[0].chunk->size / sizeof(float)
                          : 0;
    frames = std::min(frames, settings_.maxFrames);
    for (uint32_t c = 0; c < target->n_datas; ++c) {
      frames = std::min<uint32_t>(frames, target->datas[c].maxsize / sizeof(float));
    }
    if (source->n_datas < channels || target->n_datas < channels) frames = 0;
    bool silent = true;
    for (uint32_t c = 0; c < channels && frames > 0; ++c) {
      const spa_data& d = source->datas[c];
      const auto* samples =
          d.data == nullptr ? nullptr
                            : static_cast<const float*>(SPA_PTROFF(d.data, d.chunk->offset, void));
      for (uint32_t f = 0; f < frames; ++f) {
        const float sample = samples == nullptr ? 0.0f : samples[f];
        interleaved_[static_cast<size_t>(f) * channels + c] = sample;
        silent = silent && sample == 0.0f;
      }
    }
    const float* result =
        frames > 0 ? engine_->Process(interleaved_.data(), frames, silent) : nullptr;
    for (uint32_t c = 0; c < target->n_datas; ++c) {
      spa_data& d = target->datas[c];
      auto* samples = static_cast<float*>(d.data);
      for (uint32_t f = 0; f < frames && samples != nullptr; ++f) {
        samples[f] = c < channels ? result[static_cast<size_t>(f) * channels + c] : 0.0f;
      }
      d.chunk->offset = 0;
      d.chunk->size = frames * sizeof(float);
      d.chunk->stride = sizeof(float);
    }
  }
  if (in != nullptr) pw_stream_queue_buffer(capture_, in);
  if (out != nullptr) pw_stream_queue_buffer(playback_, out);
  pw_stream_trigger_process(playback_);
}
