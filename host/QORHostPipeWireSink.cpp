#include "QORHostPipeWireSink.h"

#include <pipewire/filter.h>
#include <spa/param/latency-utils.h>
#include <spa/utils/dict.h>

#include <algorithm>
#include <array>
#include <cstring>

#include "QORHostDeviceFollower.h"
#include "platform/QORDenormalGuard.h"

namespace {

const char* const kChannelNames[] = {"FL", "FR", "FC", "LFE", "RL", "RR", "SL", "SR"};

}  // namespace

QORHostPipeWireSink::QORHostPipeWireSink(pw_core* core, pw_loop* loop, Settings settings,
                                         std::string* error)
    : core_(core), loop_(loop), settings_(std::move(settings)) {
  filterEvents_.version = PW_VERSION_FILTER_EVENTS;
  filterEvents_.process = &QORHostPipeWireSink::OnProcess;
  registryEvents_.version = PW_VERSION_REGISTRY_EVENTS;
  registryEvents_.global = &QORHostPipeWireSink::OnGlobal;
  registryEvents_.global_remove = &QORHostPipeWireSink::OnGlobalRemove;
  std::unique_ptr<QORHostEngine> engine;
  for (const int channels : settings_.channels) {
    // The node names at most the eight usual positions.
    if (channels < 1 || channels > static_cast<int>(std::size(kChannelNames))) continue;
    std::string refusal;
    engine = settings_.start(channels, settings_.rate, &refusal);
    if (engine) {
      channels_ = channels;
      break;
    }
    // The first refusal tells most: it names the counts the objects take.
    if (error->empty()) *error = refusal;
  }
  if (!engine) return;
  error->clear();
  interleaved_.assign(static_cast<size_t>(settings_.maxFrames) * channels_, 0.0f);
  mixed_.assign(interleaved_.size(), 0.0f);
  delayed_.assign(interleaved_.size(), 0.0f);
  // Room for the longest delay any objects report and a cycle.
  ringFrames_ = 2 * settings_.maxFrames;
  ring_.assign(static_cast<size_t>(ringFrames_) * channels_, 0.0f);
  latency_ = engine->LatencyFrames();
  delay_ = static_cast<uint32_t>(std::clamp<int64_t>(latency_, 0, settings_.maxFrames));
  startedRate_ = settings_.rate;
  engine_ = engine.release();
  started_ = engine_;
  rebuildsSeen_ = RebuildCount();
  event_ = pw_loop_add_event(loop_, &QORHostPipeWireSink::OnEvent, this);
  timer_ = pw_loop_add_timer(loop_, &QORHostPipeWireSink::OnTimer, this);
  timespec period{0, 100 * 1000 * 1000};
  pw_loop_update_timer(loop_, timer_, &period, &period, false);
}

uint32_t QORHostPipeWireSink::RebuildCount() const {
  uint32_t total = 0;
  for (size_t stage = 0; started_ != nullptr && stage < started_->Stages().size(); ++stage) {
    uint32_t count = 0;
    if (started_->GetRebuildCount(stage, &count)) total += count;
  }
  return total;
}

void QORHostPipeWireSink::OnTimer(void* data, uint64_t) {
  auto* self = static_cast<QORHostPipeWireSink*>(data);
  self->CheckLayout();
  const uint32_t count = self->RebuildCount();
  if (count == self->rebuildsSeen_) return;
  // Objects that rebuild for one change do so together: one rebuild of the node.
  ++self->rebuilds_;
  self->rebuildsSeen_ = count;
  const int64_t latency = self->started_->LatencyFrames();
  const bool moved = latency != self->latency_;
  self->latency_ = latency;
  if (moved) self->PublishLatency();
  self->settings_.report("rebuild", "the objects rebuilt their chain (latency " +
                                        std::to_string(latency) + " frames" +
                                        (moved ? ", published" : "") + ")");
}

QORHostPipeWireSink::~QORHostPipeWireSink() {
  // A start under way ends on its own; its objects go with the others.
  if (starter_.joinable()) starter_.join();
  if (startResult_) startResult_->Unlock();
  for (pw_proxy* link : links_) pw_proxy_destroy(link);
  if (registry_ != nullptr) {
    spa_hook_remove(&registryListener_);
    pw_proxy_destroy(reinterpret_cast<pw_proxy*>(registry_));
  }
  // The filter goes first: after it, no data thread touches the objects.
  if (filter_ != nullptr) pw_filter_destroy(filter_);
  if (virtual_ != nullptr) pw_proxy_destroy(virtual_);
  if (event_ != nullptr) pw_loop_destroy_source(loop_, event_);
  if (timer_ != nullptr) pw_loop_destroy_source(loop_, timer_);
  for (QORHostEngine* engine :
       {engine_, incoming_.exchange(nullptr), outgoing_.exchange(nullptr)}) {
    if (engine != nullptr) engine->Unlock();
    delete engine;
  }
}

void QORHostPipeWireSink::PublishLatency() {
  if (filter_ == nullptr) return;
  uint8_t buffer[256];
  spa_pod_builder builder = SPA_POD_BUILDER_INIT(buffer, sizeof buffer);
  spa_process_latency_info info{};
  info.rate = static_cast<uint32_t>(std::max<int64_t>(latency_, 0));
  const spa_pod* param = spa_process_latency_build(&builder, SPA_PARAM_ProcessLatency, &info);
  pw_filter_update_params(filter_, nullptr, &param, 1);
}

void QORHostPipeWireSink::OnEvent(void* data, uint64_t) {
  auto* self = static_cast<QORHostPipeWireSink*>(data);
  if (QORHostEngine* old = self->outgoing_.exchange(nullptr)) {
    old->Unlock();
    delete old;
  }
  if (self->starter_.joinable()) {
    if (!self->startDone_.load()) return;  // it signals again when done
    self->starter_.join();
    self->TakeStarted();
  }
  const auto rate = static_cast<int>(self->wantedRate_.load());
  if (rate == 0 || rate == self->startedRate_ || self->incoming_.load() != nullptr) return;
  self->startedRate_ = rate;  // tried once per rate
  self->startDone_.store(false);
  self->starter_ = std::thread([self, rate] {
    self->startResult_ = self->settings_.start(self->channels_, rate, &self->startError_);
    self->startDone_.store(true);
    pw_loop_signal_event(self->loop_, self->event_);
  });
}

void QORHostPipeWireSink::TakeStarted() {
  const std::string rate = std::to_string(startedRate_);
  if (!startResult_) {
    settings_.report("failed", "the objects cannot run at " + rate + " Hz (" + startError_ +
                                   "); the input passes");
    return;
  }
  latency_ = startResult_->LatencyFrames();
  started_ = startResult_.get();
  rebuildsSeen_ = RebuildCount();
  incomingLatency_.store(latency_);
  incoming_.store(startResult_.release());
  PublishLatency();
  settings_.report("rate", "the graph runs at " + rate +
                               " Hz: the objects started again there (latency " +
                               std::to_string(latency_) + " frames); the input passed meanwhile");
}

const char* QORHostPipeWireSink::ChannelName(int c) const {
  return channels_ == 1 ? "MONO" : kChannelNames[c];
}

bool QORHostPipeWireSink::Connect(std::string* error) {
  std::string positions;
  for (int c = 0; c < channels_; ++c) {
    if (c > 0) positions += ',';
    positions += ChannelName(c);
  }
  pw_properties* nodeProps = pw_properties_new(
      "factory.name", "support.null-audio-sink", PW_KEY_MEDIA_CLASS,
      Capture() ? "Audio/Source/Virtual" : "Audio/Sink", PW_KEY_NODE_NAME,
      settings_.nodeName.c_str(), PW_KEY_NODE_DESCRIPTION, settings_.description.c_str(),
      PW_KEY_NODE_VIRTUAL, "true", "audio.position", positions.c_str(), PW_KEY_OBJECT_LINGER,
      "false", nullptr);
  virtual_ = static_cast<pw_proxy*>(pw_core_create_object(core_, "adapter", PW_TYPE_INTERFACE_Node,
                                                          PW_VERSION_NODE, &nodeProps->dict, 0));
  pw_properties_free(nodeProps);
  const std::string fx = settings_.nodeName + ".fx";
  filter_ =
      pw_filter_new(core_, fx.c_str(),
                    pw_properties_new(PW_KEY_MEDIA_TYPE, "Audio", PW_KEY_MEDIA_CATEGORY, "Filter",
                                      PW_KEY_NODE_NAME, fx.c_str(), PW_KEY_NODE_DESCRIPTION,
                                      settings_.description.c_str(), nullptr));
  if (virtual_ == nullptr || filter_ == nullptr) {
    *error = "PipeWire refused the nodes of " + settings_.nodeName + ": " + std::strerror(errno);
    return false;
  }
  pw_filter_add_listener(filter_, &filterListener_, &filterEvents_, this);
  for (int c = 0; c < channels_; ++c) {
    for (const bool output : {false, true}) {
      const std::string name =
          std::string(output ? "output_" : (Capture() ? "input_" : "playback_")) + ChannelName(c);
      void* port = pw_filter_add_port(
          filter_, output ? PW_DIRECTION_OUTPUT : PW_DIRECTION_INPUT,
          PW_FILTER_PORT_FLAG_MAP_BUFFERS, 0,
          pw_properties_new(PW_KEY_FORMAT_DSP, "32 bit float mono audio", PW_KEY_PORT_NAME,
                            name.c_str(), PW_KEY_AUDIO_CHANNEL, ChannelName(c), nullptr),
          nullptr, 0);
      (output ? outputs_ : inputs_).push_back(port);
    }
  }
  if (const int result = pw_filter_connect(filter_, PW_FILTER_FLAG_RT_PROCESS, nullptr, 0);
      result < 0) {
    *error = "PipeWire refused to connect " + settings_.nodeName + ": " + std::strerror(-result);
    return false;
  }
  // The objects' latency, for the graph's latency reports.
  PublishLatency();

  registry_ = pw_core_get_registry(core_, PW_VERSION_REGISTRY, 0);
  if (registry_ == nullptr) {
    *error = "PipeWire gave no registry: " + std::string(std::strerror(errno));
    return false;
  }
  pw_registry_add_listener(registry_, &registryListener_, &registryEvents_, this);
  return true;
}

void QORHostPipeWireSink::OnGlobal(void* data, uint32_t id, uint32_t, const char* type, uint32_t,
                                   const spa_dict* props) {
  auto* self = static_cast<QORHostPipeWireSink*>(data);
  if (std::strcmp(type, PW_TYPE_INTERFACE_Node) == 0) {
    const std::string mediaClass = QORHostDeviceFollower::Lookup(props, PW_KEY_MEDIA_CLASS);
    self->nodes_.push_back(
        {id, QORHostDeviceFollower::Lookup(props, PW_KEY_NODE_NAME),
         mediaClass == (self->Capture() ? "Audio/Source" : "Audio/Sink") &&
             QORHostDeviceFollower::Lookup(props, PW_KEY_NODE_VIRTUAL) != "true"});
  } else if (std::strcmp(type, PW_TYPE_INTERFACE_Port) == 0) {
    const std::string node = QORHostDeviceFollower::Lookup(props, PW_KEY_NODE_ID);
    if (node.empty()) return;
    self->ports_.push_back({id, static_cast<uint32_t>(std::stoul(node)),
                            QORHostDeviceFollower::Lookup(props, PW_KEY_PORT_DIRECTION) == "out",
                            QORHostDeviceFollower::Lookup(props, PW_KEY_AUDIO_CHANNEL)});
  } else {
    return;
  }
  self->TryLink();
}

void QORHostPipeWireSink::OnGlobalRemove(void* data, uint32_t id) {
  auto* self = static_cast<QORHostPipeWireSink*>(data);
  std::erase_if(self->nodes_, [id](const Node& node) { return node.id == id; });
  std::erase_if(self->ports_, [id](const Port& port) { return port.id == id; });
  if (id == self->device_) {
    // The device went: its links went with it.
    for (pw_proxy* link : self->links_) pw_proxy_destroy(link);
    self->links_.clear();
    self->device_ = SPA_ID_INVALID;
    self->missing_.clear();
    self->missingTicks_ = 0;
    self->missingReported_ = false;
  }
}

void QORHostPipeWireSink::CheckLayout() {
  if (!links_.empty() || missing_.empty() || missingReported_ || ++missingTicks_ < 10) return;
  missingReported_ = true;
  std::string has;
  for (const Port& port : ports_) {
    if (port.node == device_ && port.output == Capture()) has += " " + port.channel;
  }
  std::string target = settings_.target;
  for (const Node& node : nodes_) {
    if (node.id == device_) target = node.name;
  }
  settings_.report("skipped", "the device " + target + " has no " + missing_ +
                                  (Capture() ? " output" : " input") + " (it has:" + has +
                                  "); nothing is linked to it");
}

void QORHostPipeWireSink::TryLink() {
  if (!links_.empty()) return;
  const uint32_t fx = pw_filter_get_node_id(filter_);
  if (fx == SPA_ID_INVALID) return;
  uint32_t node = SPA_ID_INVALID;
  device_ = SPA_ID_INVALID;
  for (const Node& candidate : nodes_) {
    if (candidate.name == settings_.nodeName) {
      node = candidate.id;
    } else if (device_ == SPA_ID_INVALID &&
               (settings_.target.empty() ? candidate.device : candidate.name == settings_.target)) {
      device_ = candidate.id;
    }
  }
  if (node == SPA_ID_INVALID || device_ == SPA_ID_INVALID) return;
  const auto find = [&](uint32_t owner, bool output, const std::string& channel) -> uint32_t {
    for (const Port& port : ports_) {
      if (port.node == owner && port.output == output && port.channel == channel) return port.id;
    }
    return SPA_ID_INVALID;
  };
  // The device's port for a channel of ours: the same position; else a mono node takes (or
  // feeds) the device's front left, or its first port when it has none; a mono device's one
  // channel serves every position.
  const auto devicePort = [&](const std::string& channel, bool output) {
    uint32_t port = find(device_, output, channel);
    if (port == SPA_ID_INVALID && channel == "MONO") port = find(device_, output, "FL");
    if (port == SPA_ID_INVALID) port = find(device_, output, "MONO");
    for (const Port& candidate : ports_) {
      if (port == SPA_ID_INVALID && channel == "MONO" && candidate.node == device_ &&
          candidate.output == output) {
        port = candidate.id;
      }
    }
    return port;
  };
  // (output node, output port, input node, input port) for each channel and each hop.
  std::vector<std::array<uint32_t, 4>> links;
  for (int c = 0; c < channels_; ++c) {
    const std::string channel = ChannelName(c);
    const std::array<uint32_t, 4> hops[] = {
        Capture() ? std::array<uint32_t, 4>{device_, devicePort(channel, true), fx,
                                            find(fx, false, channel)}
                  : std::array<uint32_t, 4>{node, find(node, true, channel), fx,
                                            find(fx, false, channel)},
        Capture()
            ? std::array<uint32_t, 4>{fx, find(fx, true, channel), node, find(node, false, channel)}
            : std::array<uint32_t, 4>{fx, find(fx, true, channel), device_,
                                      devicePort(channel, false)}};
    for (const auto& hop : hops) {
      if (hop[1] == SPA_ID_INVALID || hop[3] == SPA_ID_INVALID) {
        // Said when the device keeps lacking it (it may be adding its ports still).
        const bool deviceSide = Capture() ? &hop == &hops[0] : &hop == &hops[1];
        const bool devicePorts = std::any_of(ports_.begin(), ports_.end(), [&](const Port& p) {
          return p.node == device_ && p.output == Capture();
        });
        if (deviceSide && devicePorts && (Capture() ? hop[1] : hop[3]) == SPA_ID_INVALID) {
          missing_ = channel;
        }
        return;
      }
      links.push_back(hop);
    }
  }
  missing_.clear();
  for (const auto& link : links) {
    pw_properties* props = pw_properties_new(nullptr, nullptr);
    pw_properties_setf(props, PW_KEY_LINK_OUTPUT_NODE, "%u", link[0]);
    pw_properties_setf(props, PW_KEY_LINK_OUTPUT_PORT, "%u", link[1]);
    pw_properties_setf(props, PW_KEY_LINK_INPUT_NODE, "%u", link[2]);
    pw_properties_setf(props, PW_KEY_LINK_INPUT_PORT, "%u", link[3]);
    // Passive: the links alone keep nothing running, so that an idle graph may change its rate.
    pw_properties_set(props, PW_KEY_LINK_PASSIVE, "true");
    links_.push_back(static_cast<pw_proxy*>(pw_core_create_object(
        core_, "link-factory", PW_TYPE_INTERFACE_Link, PW_VERSION_LINK, &props->dict, 0)));
    pw_properties_free(props);
  }
}

void QORHostPipeWireSink::OnProcess(void* data, spa_io_position* position) {
  // The data thread is PipeWire's: its mode is set for our periods and given back after them.
  QORDenormalGuard denormals;
  static_cast<QORHostPipeWireSink*>(data)->Process(static_cast<uint32_t>(position->clock.duration),
                                                   position->clock.rate.denom);
}

void QORHostPipeWireSink::Process(uint32_t frames, uint32_t rate) {
  const auto channels = static_cast<uint32_t>(channels_);
  // Objects started for the new rate take over once the old ones can be handed back.
  if (outgoing_.load(std::memory_order_acquire) == nullptr) {
    if (QORHostEngine* next = incoming_.exchange(nullptr, std::memory_order_acq_rel)) {
      outgoing_.store(engine_, std::memory_order_release);
      engine_ = next;
      warm_ = incomingLatency_.load();
      delay_ = static_cast<uint32_t>(std::clamp<int64_t>(warm_, 0, settings_.maxFrames));
      fade_ = 0;
      fadeLength_ = std::max<uint32_t>(rate / 100, 1);  // 10 ms
      pw_loop_signal_event(loop_, event_);
    }
  }
  const bool running = engine_ != nullptr && static_cast<uint32_t>(engine_->Rate()) == rate;
  if (!running && wantedRate_.exchange(rate) != rate) pw_loop_signal_event(loop_, event_);
  std::array<const float*, std::size(kChannelNames)> in{};
  std::array<float*, std::size(kChannelNames)> out{};
  for (uint32_t c = 0; c < channels; ++c) {
    in[c] = static_cast<const float*>(pw_filter_get_dsp_buffer(inputs_[c], frames));
    out[c] = static_cast<float*>(pw_filter_get_dsp_buffer(outputs_[c], frames));
  }
  // A cycle longer than the objects were locked for goes through them in pieces.
  for (uint32_t done = 0; done < frames;) {
    const uint32_t piece = std::min(frames - done, settings_.maxFrames);
    bool silent = true;
    for (uint32_t c = 0; c < channels; ++c) {
      for (uint32_t f = 0; f < piece; ++f) {
        const float sample = in[c] == nullptr ? 0.0f : in[c][done + f];
        interleaved_[static_cast<size_t>(f) * channels + c] = sample;
        silent = silent && sample == 0.0f;
      }
    }
    // The delayed input is read only where it is heard: passing, or while objects take over.
    Delay(piece, !running || warm_ > 0 || fade_ < fadeLength_);
    const float* result = running ? Run(piece, silent) : delayed_.data();
    for (uint32_t c = 0; c < channels; ++c) {
      if (out[c] == nullptr) continue;
      for (uint32_t f = 0; f < piece; ++f)
        out[c][done + f] = result[static_cast<size_t>(f) * channels + c];
    }
    done += piece;
  }
}

void QORHostPipeWireSink::Delay(uint32_t frames, bool read) {
  const auto channels = static_cast<uint32_t>(channels_);
  for (uint32_t f = 0; f < frames; ++f) {
    const size_t from = static_cast<size_t>((ringWrite_ + ringFrames_ - delay_) % ringFrames_);
    for (uint32_t c = 0; c < channels; ++c) {
      const size_t i = static_cast<size_t>(f) * channels + c;
      ring_[static_cast<size_t>(ringWrite_) * channels + c] = interleaved_[i];
      if (read) delayed_[i] = ring_[from * channels + c];
    }
    ringWrite_ = (ringWrite_ + 1) % ringFrames_;
  }
}

const float* QORHostPipeWireSink::Run(uint32_t frames, bool silent) {
  const auto channels = static_cast<uint32_t>(channels_);
  const float* processed = engine_->Process(interleaved_.data(), frames, silent);
  if (warm_ == 0 && fade_ >= fadeLength_) return processed;
  // Objects that just took over: the delayed input until their delay lines are full, then a
  // fade; the two keep the same time, so the fade has nothing to smear.
  for (uint32_t f = 0; f < frames; ++f) {
    float gain = 1.0f;
    if (warm_ > 0) {
      --warm_;
      gain = 0.0f;
    } else if (fade_ < fadeLength_) {
      gain = static_cast<float>(++fade_) / static_cast<float>(fadeLength_);
    }
    for (uint32_t c = 0; c < channels; ++c) {
      const size_t i = static_cast<size_t>(f) * channels + c;
      mixed_[i] = delayed_[i] + gain * (processed[i] - delayed_[i]);
    }
  }
  return mixed_.data();
}
