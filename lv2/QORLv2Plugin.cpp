#include "QORLv2Plugin.h"

#include <lv2/atom/atom.h>
#include <lv2/buf-size/buf-size.h>
#include <lv2/options/options.h>

#include <algorithm>
#include <cmath>
#include <cstring>

#include "common/QORTextConvert.h"
#include "common/QORTrace.h"
#include "engine/QORHostEngineSetup.h"

namespace {

constexpr float kSilenceDb = -144.0f;

float PeakDb(float peak) {
  return peak > 0.0f ? std::max(kSilenceDb, 20.0f * std::log10(peak)) : kSilenceDb;
}

const void* FeatureData(const LV2_Feature* const* features, const char* uri) {
  for (size_t i = 0; features != nullptr && features[i] != nullptr; ++i) {
    if (std::strcmp(features[i]->URI, uri) == 0) return features[i]->data;
  }
  return nullptr;
}

}  // namespace

QORLv2Plugin::QORLv2Plugin(uint32_t channels, double rate, const std::string& bundle,
                           const LV2_Feature* const* features)
    : channels_(channels),
      rate_(static_cast<int>(std::lround(rate))),
      bundle_(bundle),
      inputs_(channels, nullptr),
      outputs_(channels, nullptr),
      controls_(kControlPorts, nullptr) {
  const auto* map = static_cast<const LV2_URID_Map*>(FeatureData(features, LV2_URID__map));
  if (map == nullptr) {
    QORTrace({"QORLv2Plugin", __LINE__, "QORLv2Plugin::QORLv2Plugin"},
             "ERROR: the host offers no urid:map\n");
    return;
  }
  lv2_log_logger_init(
      &logger_, const_cast<LV2_URID_Map*>(map),
      static_cast<LV2_Log_Log*>(const_cast<void*>(FeatureData(features, LV2_LOG__log))));
  // The longest run the host announces; the objects are locked for it.
  const auto* options =
      static_cast<const LV2_Options_Option*>(FeatureData(features, LV2_OPTIONS__options));
  const LV2_URID maxBlock = map->map(map->handle, LV2_BUF_SIZE__maxBlockLength);
  const LV2_URID atomInt = map->map(map->handle, LV2_ATOM__Int);
  for (size_t i = 0; options != nullptr && options[i].key != 0; ++i) {
    if (options[i].key == maxBlock && options[i].type == atomInt && options[i].value != nullptr &&
        *static_cast<const int32_t*>(options[i].value) > 0) {
      maxBlock_ = static_cast<uint32_t>(*static_cast<const int32_t*>(options[i].value));
    }
  }
  interleaved_.assign(static_cast<size_t>(maxBlock_) * channels_, 0.0f);
  ready_ = Start(0, 0);
}

QORLv2Plugin::~QORLv2Plugin() {
  Stop();
}

bool QORLv2Plugin::Start(uint32_t endpointIndex, uint32_t positions) {
  Stop();
  startedEndpoint_ = endpointIndex;
  startedPositions_ = positions;
  std::string error;
  QORAPOEndpointInfo endpoint;
  std::vector<int> locations;
  if (!QORHostEngineSetup::RenderEndpoint(endpointIndex, &endpoint)) {
    error = endpointIndex == 0
                ? "the state root (QOR_ROOT) has no default render endpoint; create one with "
                  "`qorapo demo-setup ROOT` or `qorapo endpoint add`"
                : "the state root (QOR_ROOT) has no active render endpoint number " +
                      std::to_string(endpointIndex) + " (see `qorapo endpoint list`)";
  } else if (positions == 0) {
    locations = QORHostEngineSetup::DefaultLocations(endpoint);
    if (locations.empty()) error = "the endpoint has no effect classes registered";
  } else {
    for (int location = 0; location < QORAPOEndpointInfo::kPositionCount; ++location) {
      if ((positions & (1u << location)) == 0) continue;
      if (endpoint.GetPosition(location).guid == GUID_NULL) {
        error =
            "the endpoint has no effect class registered at position " + std::to_string(location);
      }
      locations.push_back(location);
    }
    if (locations.empty()) error = "the positions port names no position 0 to 5";
  }
  if (error.empty()) {
    // As the engine does, the classes' registration names their module; else the bundle's.
    std::wstring module =
        QORHostEngineSetup::RegisteredModule(endpoint.GetPosition(locations[0]).guid);
    if (module.empty()) module = QORUtf8ToWide(bundle_) + L"qlvapo64.so";
    engine_ = std::make_unique<QORHostEngine>();
    if (engine_->LoadModule(module, &error) && engine_->Create(endpoint, locations, &error) &&
        engine_->Negotiate(static_cast<int>(channels_), rate_, &error) &&
        engine_->Lock(maxBlock_, &error)) {
      latency_ = engine_->LatencyFrames();
      dry_.assign(static_cast<size_t>(std::max<int64_t>(latency_, 0)) * channels_, 0.0f);
      dryAt_ = 0;
      fadeStep_ = 1.0f / std::max(1.0f, kFadeSeconds * static_cast<float>(rate_));
      return true;
    }
    engine_.reset();
  }
  if (logger_.log != nullptr) {
    lv2_log_error(&logger_, "qorapo: %s\n", error.c_str());
  } else {
    QORTrace({"QORLv2Plugin", __LINE__, "QORLv2Plugin::Start"}, "ERROR: %s\n", error.c_str());
  }
  return false;
}

void QORLv2Plugin::Stop() {
  if (engine_) engine_->Unlock();
  engine_.reset();
}

void QORLv2Plugin::ConnectPort(uint32_t port, void* data) {
  if (port < channels_) {
    inputs_[port] = static_cast<const float*>(data);
  } else if (port < 2 * channels_) {
    outputs_[port - channels_] = static_cast<float*>(data);
  } else if (port - 2 * channels_ < kControlPorts) {
    controls_[port - 2 * channels_] = static_cast<float*>(data);
  }
}

void QORLv2Plugin::Activate() {
  const auto value = [&](ControlPort port) {
    return controls_[port] == nullptr ? 0u
                                      : static_cast<uint32_t>(std::max(0.0f, *controls_[port]));
  };
  const uint32_t endpoint = value(kEndpoint);
  const uint32_t positions = value(kPositions);
  if (!engine_ || endpoint != startedEndpoint_ || positions != startedPositions_) {
    Start(endpoint, positions);
  }
}

void QORLv2Plugin::Run(uint32_t frames) {
  for (uint32_t c = 0; c < channels_; ++c) {
    if (inputs_[c] == nullptr || outputs_[c] == nullptr) return;
  }
  const float target = controls_[kEnabled] == nullptr || *controls_[kEnabled] >= 0.5f ? 1.0f : 0.0f;
  float inputPeak = 0.0f;
  float outputPeak = 0.0f;
  for (uint32_t done = 0; done < frames;) {
    const uint32_t n = std::min(frames - done, maxBlock_);
    bool silent = true;
    for (uint32_t f = 0; f < n; ++f) {
      for (uint32_t c = 0; c < channels_; ++c) {
        const float sample = inputs_[c][done + f];
        interleaved_[static_cast<size_t>(f) * channels_ + c] = sample;
        inputPeak = std::max(inputPeak, std::fabs(sample));
        silent = silent && sample == 0.0f;
      }
    }
    // The objects run while bypassed too, so that switching them on fades into a running chain.
    // Without objects (another endpoint chosen at activation could not start), the input passes.
    const float* result =
        engine_ ? engine_->Process(interleaved_.data(), n, silent) : interleaved_.data();
    for (uint32_t f = 0; f < n; ++f) {
      wet_ =
          target > wet_ ? std::min(target, wet_ + fadeStep_) : std::max(target, wet_ - fadeStep_);
      for (uint32_t c = 0; c < channels_; ++c) {
        const float input = interleaved_[static_cast<size_t>(f) * channels_ + c];
        float dry = input;
        if (!dry_.empty() && engine_) {
          dry = dry_[dryAt_ + c];
          dry_[dryAt_ + c] = input;
        }
        const float wet = result[static_cast<size_t>(f) * channels_ + c];
        const float sample = wet_ == 1.0f ? wet : wet_ * wet + (1.0f - wet_) * dry;
        outputs_[c][done + f] = sample;
        outputPeak = std::max(outputPeak, std::fabs(sample));
      }
      if (!dry_.empty() && engine_) dryAt_ = (dryAt_ + channels_) % dry_.size();
    }
    done += n;
  }
  if (controls_[kLatency] != nullptr) {
    *controls_[kLatency] = engine_ ? static_cast<float>(latency_) : 0.0f;
  }
  if (controls_[kInputPeak] != nullptr) *controls_[kInputPeak] = PeakDb(inputPeak);
  if (controls_[kOutputPeak] != nullptr) *controls_[kOutputPeak] = PeakDb(outputPeak);
}
