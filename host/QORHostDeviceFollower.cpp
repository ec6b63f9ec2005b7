#include "QORHostDeviceFollower.h"

#include <spa/utils/dict.h>

#include <cstring>
#include <nlohmann/json.hpp>

std::string QORHostDeviceFollower::Lookup(const spa_dict* props, const char* key) {
  const char* value = props == nullptr ? nullptr : spa_dict_lookup(props, key);
  return value == nullptr ? std::string() : std::string(value);
}

QORHostDeviceFollower::QORHostDeviceFollower(pw_core* core, Listener* listener)
    : core_(core), listener_(listener) {
  registryEvents_.version = PW_VERSION_REGISTRY_EVENTS;
  registryEvents_.global = &QORHostDeviceFollower::OnGlobal;
  registryEvents_.global_remove = &QORHostDeviceFollower::OnGlobalRemove;
  coreEvents_.version = PW_VERSION_CORE_EVENTS;
  coreEvents_.done = &QORHostDeviceFollower::OnDone;
  metadataEvents_.version = PW_VERSION_METADATA_EVENTS;
  metadataEvents_.property = &QORHostDeviceFollower::OnProperty;
}

QORHostDeviceFollower::~QORHostDeviceFollower() {
  if (metadata_ != nullptr) {
    spa_hook_remove(&metadataListener_);
    pw_proxy_destroy(reinterpret_cast<pw_proxy*>(metadata_));
  }
  if (registry_ != nullptr) {
    spa_hook_remove(&registryListener_);
    spa_hook_remove(&coreListener_);
    pw_proxy_destroy(reinterpret_cast<pw_proxy*>(registry_));
  }
}

bool QORHostDeviceFollower::Start(std::string* error) {
  registry_ = pw_core_get_registry(core_, PW_VERSION_REGISTRY, 0);
  if (registry_ == nullptr) {
    *error = "PipeWire gave no registry: " + std::string(std::strerror(errno));
    return false;
  }
  pw_registry_add_listener(registry_, &registryListener_, &registryEvents_, this);
  pw_core_add_listener(core_, &coreListener_, &coreEvents_, this);
  // Done comes back once the registry has told every object there was.
  startSeq_ = pw_core_sync(core_, PW_ID_CORE, 0);
  return true;
}

void QORHostDeviceFollower::OnGlobal(void* data, uint32_t id, uint32_t, const char* type, uint32_t,
                                     const spa_dict* props) {
  auto* self = static_cast<QORHostDeviceFollower*>(data);
  if (std::strcmp(type, PW_TYPE_INTERFACE_Metadata) == 0) {
    if (self->metadata_ != nullptr || Lookup(props, PW_KEY_METADATA_NAME) != "default") return;
    self->metadata_ = static_cast<pw_metadata*>(
        pw_registry_bind(self->registry_, id, type, PW_VERSION_METADATA, 0));
    if (self->metadata_ != nullptr) {
      pw_metadata_add_listener(self->metadata_, &self->metadataListener_, &self->metadataEvents_,
                               self);
    }
    return;
  }
  if (std::strcmp(type, PW_TYPE_INTERFACE_Node) != 0) return;
  const std::string mediaClass = Lookup(props, PW_KEY_MEDIA_CLASS);
  Device device;
  device.node = Lookup(props, PW_KEY_NODE_NAME);
  if (mediaClass == "Audio/Sink") {
    device.flow = eRender;
  } else if (mediaClass == "Audio/Source") {
    device.flow = eCapture;
  } else {
    return;
  }
  // Virtual nodes are other programs' (or ours); they get no endpoint of their own.
  if (device.node.empty() || Lookup(props, PW_KEY_NODE_VIRTUAL) == "true" ||
      device.node.rfind("qorapo_", 0) == 0) {
    return;
  }
  device.description = Lookup(props, PW_KEY_NODE_DESCRIPTION);
  if (device.description.empty()) device.description = Lookup(props, PW_KEY_NODE_NICK);
  if (device.description.empty()) device.description = device.node;
  self->devices_[id] = device;
  self->listener_->OnDeviceAdded(device);
}

void QORHostDeviceFollower::OnGlobalRemove(void* data, uint32_t id) {
  auto* self = static_cast<QORHostDeviceFollower*>(data);
  const auto found = self->devices_.find(id);
  if (found == self->devices_.end()) return;
  const Device device = found->second;
  self->devices_.erase(found);
  self->listener_->OnDeviceRemoved(device);
}

void QORHostDeviceFollower::OnDone(void* data, uint32_t id, int seq) {
  auto* self = static_cast<QORHostDeviceFollower*>(data);
  if (id != PW_ID_CORE || seq != self->startSeq_ || self->known_) return;
  self->known_ = true;
  std::vector<Device> present;
  for (const auto& entry : self->devices_) present.push_back(entry.second);
  self->listener_->OnDevicesKnown(present);
}

int QORHostDeviceFollower::OnProperty(void* data, uint32_t subject, const char* key, const char*,
                                      const char* value) {
  auto* self = static_cast<QORHostDeviceFollower*>(data);
  if (subject != PW_ID_CORE || key == nullptr || value == nullptr) return 0;
  EDataFlow flow;
  if (std::strcmp(key, "default.audio.sink") == 0) {
    flow = eRender;
  } else if (std::strcmp(key, "default.audio.source") == 0) {
    flow = eCapture;
  } else {
    return 0;
  }
  // The value is {"name": "<node.name>"}.
  const nlohmann::json parsed = nlohmann::json::parse(value, nullptr, false);
  if (parsed.is_object() && parsed.contains("name") && parsed["name"].is_string()) {
    self->listener_->OnDefaultChanged(flow, parsed["name"].get<std::string>());
  }
  return 0;
}
