#include "QORLv2Plugin.h"

#include <lv2/atom/atom.h>
#include <lv2/buf-size/buf-size.h>
#include <lv2/options/options.h>
#include <lv2/state/state.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "common/QORTextConvert.h"
#include "common/QORTrace.h"
#include "engine/QORHostEngineSetup.h"
#include "platform/QORDenormalGuard.h"

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
  map_ = static_cast<LV2_URID_Map*>(const_cast<void*>(FeatureData(features, LV2_URID__map)));
  if (map_ == nullptr) {
    QORTrace({"QORLv2Plugin", __LINE__, "QORLv2Plugin::QORLv2Plugin"},
             "ERROR: the host offers no urid:map\n");
    return;
  }
  lv2_log_logger_init(
      &logger_, map_,
      static_cast<LV2_Log_Log*>(const_cast<void*>(FeatureData(features, LV2_LOG__log))));
  worker_ = static_cast<const LV2_Worker_Schedule*>(FeatureData(features, LV2_WORKER__schedule));
  // The longest run the host announces; the objects are locked for it.
  const auto* options =
      static_cast<const LV2_Options_Option*>(FeatureData(features, LV2_OPTIONS__options));
  const LV2_URID maxBlock = map_->map(map_->handle, LV2_BUF_SIZE__maxBlockLength);
  const LV2_URID atomInt = map_->map(map_->handle, LV2_ATOM__Int);
  for (size_t i = 0; options != nullptr && options[i].key != 0; ++i) {
    if (options[i].key == maxBlock && options[i].type == atomInt && options[i].value != nullptr &&
        *static_cast<const int32_t*>(options[i].value) > 0) {
      maxBlock_ = static_cast<uint32_t>(*static_cast<const int32_t*>(options[i].value));
    }
  }
  interleaved_.assign(static_cast<size_t>(maxBlock_) * channels_, 0.0f);
  fadeStep_ = 1.0f / std::max(1.0f, kFadeSeconds * static_cast<float>(rate_));
  chain_ = Start(0, nullptr, 0);
}

QORLv2Plugin::~QORLv2Plugin() {
  delete stopping_;
}

QORLv2Plugin::Chain::~Chain() {
  if (engine) engine->Unlock();
}

void QORLv2Plugin::Log(const std::string& error) {
  if (logger_.log != nullptr) {
    lv2_log_error(&logger_, "qorapo: %s\n", error.c_str());
    return;
  }
  // Hosts without a log (filter-chain among them) have their standard error in the journal.
  std::fprintf(stderr, "qorapo: %s\n", error.c_str());
  QORTrace({"QORLv2Plugin", __LINE__, "QORLv2Plugin::Log"}, "ERROR: %s\n", error.c_str());
}

std::unique_ptr<QORLv2Plugin::Chain> QORLv2Plugin::Start(uint32_t endpointIndex,
                                                         const GUID* endpointGuid,
                                                         uint32_t positions) {
  std::string error;
  QORAPOEndpointInfo endpoint;
  std::vector<int> locations;
  if (endpointGuid != nullptr ? !QORHostEngineSetup::RenderEndpoint(*endpointGuid, &endpoint)
                              : !QORHostEngineSetup::RenderEndpoint(endpointIndex, &endpoint)) {
    if (endpointGuid != nullptr) {
      error = "the endpoint " + QORWideToUtf8(QORGuidToString(*endpointGuid)) +
              " that the saved state chose is not an active render endpoint of the state root "
              "(QOR_ROOT); choose one with the endpoint port";
    } else if (endpointIndex == 0) {
      error =
          "the state root (QOR_ROOT) has no default render endpoint; create one with "
          "`qorapo demo-setup ROOT` or `qorapo endpoint add`";
    } else {
      error = "the state root (QOR_ROOT) has no active render endpoint number ";
      error += std::to_string(endpointIndex);
      error += " (see `qorapo endpoint list`)";
    }
  } else if (positions == 0) {
    locations = QORHostEngineSetup::DefaultLocations(endpoint);
    if (locations.empty()) error = "the endpoint has no effect classes registered";
  } else {
    for (int location = 0; location < QORAPOEndpointInfo::kPositionCount; ++location) {
      if ((positions & (1u << location)) == 0) continue;
      if (endpoint.GetPosition(location).guid == GUID_NULL) {
        error = "the endpoint has no effect class registered at position ";
        error += std::to_string(location);
      }
      locations.push_back(location);
    }
    if (locations.empty()) error = "the positions port names no position 0 to 5";
  }
  if (error.empty()) {
    // As the engine does, the classes' registration names their module; else the bundle's.
    auto chain = std::make_unique<Chain>();
    chain->engine =
        QORHostEngineSetup::Start(endpoint, locations, QORUtf8ToWide(bundle_) + L"qlvapo64.so",
                                  static_cast<int>(channels_), rate_, maxBlock_, &error);
    if (chain->engine) {
      chain->endpoint = endpoint.GetEndpointGuid();
      chain->positions = positions;
      chain->latency = chain->engine->LatencyFrames();
      chain->dry.assign(static_cast<size_t>(std::max<int64_t>(chain->latency, 0)) * channels_,
                        0.0f);
      Remember(*chain);
      return chain;
    }
  }
  Log(error);
  return nullptr;
}

void QORLv2Plugin::Remember(const Chain& chain) {
  const std::lock_guard<std::mutex> hold(chosenLock_);
  chosenEndpoint_ = chain.endpoint;
  chosenPositions_ = chain.positions;
}

uint32_t QORLv2Plugin::PortValue(ControlPort port) const {
  return controls_[port] == nullptr ? 0u : static_cast<uint32_t>(std::max(0.0f, *controls_[port]));
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
  const uint32_t endpoint = PortValue(kEndpoint);
  const uint32_t positions = PortValue(kPositions);
  const bool changed = endpoint != wantedEndpoint_ || positions != wantedPositions_;
  wantedEndpoint_ = endpoint;
  wantedPositions_ = positions;
  if (adoptPorts_ || !changed) {
    adoptPorts_ = false;
    return;
  }
  // Objects that cannot start for the new choice leave the running ones in place.
  if (auto chain = Start(endpoint, nullptr, positions)) chain_ = std::move(chain);
}

void QORLv2Plugin::Schedule() {
  if (worker_ == nullptr) return;  // without a worker, the ports are read at activation
  if (stopping_ != nullptr) {
    const Job job{Job::kStop, 0, 0, stopping_};
    if (worker_->schedule_work(worker_->handle, sizeof job, &job) == LV2_WORKER_SUCCESS) {
      stopping_ = nullptr;
    }
  }
  const uint32_t endpoint = PortValue(kEndpoint);
  const uint32_t positions = PortValue(kPositions);
  if (adoptPorts_) {
    wantedEndpoint_ = endpoint;
    wantedPositions_ = positions;
    adoptPorts_ = false;
  }
  if (starting_ || next_ || stopping_ != nullptr) return;  // one change at a time
  if (endpoint == wantedEndpoint_ && positions == wantedPositions_) return;
  const Job job{Job::kStart, endpoint, positions, nullptr};
  if (worker_->schedule_work(worker_->handle, sizeof job, &job) == LV2_WORKER_SUCCESS) {
    starting_ = true;
    wantedEndpoint_ = endpoint;
    wantedPositions_ = positions;
  }
}

LV2_Worker_Status QORLv2Plugin::Work(LV2_Worker_Respond_Function respond,
                                     LV2_Worker_Respond_Handle handle, uint32_t size,
                                     const void* data) {
  if (size != sizeof(Job) || data == nullptr) return LV2_WORKER_ERR_UNKNOWN;
  Job job;
  std::memcpy(&job, data, sizeof job);
  if (job.kind == Job::kStop) {
    delete job.chain;
    return LV2_WORKER_SUCCESS;
  }
  // Started here, off the audio thread; a failure keeps the running objects and says why.
  job.chain = Start(job.endpoint, nullptr, job.positions).release();
  const LV2_Worker_Status status = respond(handle, sizeof job, &job);
  if (status != LV2_WORKER_SUCCESS) {
    delete job.chain;
    Log("the host took no answer from the worker; the objects stay as they were");
  }
  return status;
}

LV2_Worker_Status QORLv2Plugin::WorkResponse(uint32_t size, const void* data) {
  if (size != sizeof(Job) || data == nullptr) return LV2_WORKER_ERR_UNKNOWN;
  Job job;
  std::memcpy(&job, data, sizeof job);
  starting_ = false;
  if (job.chain != nullptr) {
    next_.reset(job.chain);
    swap_ = 0.0f;
    warmed_ = 0;
  }
  return LV2_WORKER_SUCCESS;
}

LV2_State_Status QORLv2Plugin::Save(LV2_State_Store_Function store, LV2_State_Handle handle) {
  GUID endpoint;
  int32_t positions;
  {
    const std::lock_guard<std::mutex> hold(chosenLock_);
    endpoint = chosenEndpoint_;
    positions = static_cast<int32_t>(chosenPositions_);
  }
  if (endpoint == GUID_NULL) return LV2_STATE_SUCCESS;
  const std::string text = QORWideToUtf8(QORGuidToString(endpoint));
  const uint32_t flags = LV2_STATE_IS_POD | LV2_STATE_IS_PORTABLE;
  LV2_State_Status status =
      store(handle, map_->map(map_->handle, kStateEndpoint), text.c_str(), text.size() + 1,
            map_->map(map_->handle, LV2_ATOM__String), flags);
  if (status == LV2_STATE_SUCCESS) {
    status = store(handle, map_->map(map_->handle, kStatePositions), &positions, sizeof positions,
                   map_->map(map_->handle, LV2_ATOM__Int), flags);
  }
  return status;
}

LV2_State_Status QORLv2Plugin::Restore(LV2_State_Retrieve_Function retrieve,
                                       LV2_State_Handle handle) {
  size_t size = 0;
  uint32_t type = 0;
  uint32_t flags = 0;
  const void* text =
      retrieve(handle, map_->map(map_->handle, kStateEndpoint), &size, &type, &flags);
  GUID endpoint;
  if (text == nullptr || type != map_->map(map_->handle, LV2_ATOM__String) || size == 0 ||
      static_cast<const char*>(text)[size - 1] != '\0' ||
      !QORGuidFromString(QORUtf8ToWide(static_cast<const char*>(text)), &endpoint)) {
    return LV2_STATE_SUCCESS;  // nothing saved, or not ours: the ports choose
  }
  uint32_t positions = 0;
  const void* value =
      retrieve(handle, map_->map(map_->handle, kStatePositions), &size, &type, &flags);
  if (value != nullptr && type == map_->map(map_->handle, LV2_ATOM__Int) &&
      size == sizeof(int32_t)) {
    int32_t saved;
    std::memcpy(&saved, value, sizeof saved);
    positions = static_cast<uint32_t>(std::max(0, saved));
  }
  // Not concurrent with Run: the objects can change here. The ports' next values are taken as
  // they are, so that an index saved beside the state does not override the endpoint kept.
  auto chain = Start(0, &endpoint, positions);
  if (!chain) return LV2_STATE_ERR_UNKNOWN;
  chain_ = std::move(chain);
  next_.reset();
  adoptPorts_ = true;
  return LV2_STATE_SUCCESS;
}

float QORLv2Plugin::Mixed(Chain* chain, const float* result, uint32_t f, uint32_t c, float input) {
  if (chain == nullptr) return input;
  float dry = input;
  if (!chain->dry.empty()) {
    dry = chain->dry[chain->dryAt + c];
    chain->dry[chain->dryAt + c] = input;
  }
  const float wet = result[static_cast<size_t>(f) * channels_ + c];
  return wet_ == 1.0f ? wet : wet_ * wet + (1.0f - wet_) * dry;
}

void QORLv2Plugin::Advance(Chain* chain) const {
  if (chain != nullptr && !chain->dry.empty()) {
    chain->dryAt = (chain->dryAt + channels_) % chain->dry.size();
  }
}

void QORLv2Plugin::Run(uint32_t frames) {
  // The host's thread: set for our run only, its own mode back afterwards.
  QORDenormalGuard denormals;
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
    // Objects started for another endpoint or positions run beside them while they fade in.
    const float* current =
        chain_ ? chain_->engine->Process(interleaved_.data(), n, silent) : nullptr;
    const float* incoming =
        next_ ? next_->engine->Process(interleaved_.data(), n, silent) : nullptr;
    for (uint32_t f = 0; f < n; ++f) {
      wet_ =
          target > wet_ ? std::min(target, wet_ + fadeStep_) : std::max(target, wet_ - fadeStep_);
      // The incoming objects are heard once their delay line holds input, not their silence.
      if (next_ && ++warmed_ > next_->latency) swap_ = std::min(1.0f, swap_ + fadeStep_);
      for (uint32_t c = 0; c < channels_; ++c) {
        const float input = interleaved_[static_cast<size_t>(f) * channels_ + c];
        float sample = Mixed(chain_.get(), current, f, c, input);
        if (next_) sample += swap_ * (Mixed(next_.get(), incoming, f, c, input) - sample);
        outputs_[c][done + f] = sample;
        outputPeak = std::max(outputPeak, std::fabs(sample));
      }
      Advance(chain_.get());
      Advance(next_.get());
    }
    if (next_ && swap_ >= 1.0f) {
      // Faded in: the replaced objects go to the worker to be stopped.
      stopping_ = chain_.release();
      chain_ = std::move(next_);
    }
    done += n;
  }
  Schedule();
  if (controls_[kLatency] != nullptr) {
    *controls_[kLatency] = chain_ ? static_cast<float>(chain_->latency) : 0.0f;
  }
  if (controls_[kInputPeak] != nullptr) *controls_[kInputPeak] = PeakDb(inputPeak);
  if (controls_[kOutputPeak] != nullptr) *controls_[kOutputPeak] = PeakDb(outputPeak);
}
