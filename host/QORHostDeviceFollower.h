#pragma once

#include <pipewire/extensions/metadata.h>
#include <pipewire/pipewire.h>

#include <map>
#include <string>
#include <vector>

#include "platform/QORMMDeviceTypes.h"

// Watches PipeWire for its real sinks and sources (not virtual ones, not the daemon's own) and
// for the default sink and source of the `default` metadata, and tells its listener. Main loop
// only.
class QORHostDeviceFollower {
 public:
  struct Device {
    EDataFlow flow = eRender;
    std::string node;  // node.name
    std::string description;
  };
  class Listener {
   public:
    virtual ~Listener() = default;
    virtual void OnDeviceAdded(const Device& device) = 0;
    virtual void OnDeviceRemoved(const Device& device) = 0;
    // Once, when every device present at the start has been added.
    virtual void OnDevicesKnown(const std::vector<Device>& present) = 0;
    // The session manager's default sink (render) or source (capture) is now node.
    virtual void OnDefaultChanged(EDataFlow flow, const std::string& node) = 0;
  };

  QORHostDeviceFollower(pw_core* core, Listener* listener);
  QORHostDeviceFollower(const QORHostDeviceFollower&) = delete;
  QORHostDeviceFollower& operator=(const QORHostDeviceFollower&) = delete;
  ~QORHostDeviceFollower();

  // A property of a PipeWire object; empty when it has none.
  static std::string Lookup(const spa_dict* props, const char* key);

  // Starts watching; false with the reason.
  bool Start(std::string* error);

 private:
  static void OnGlobal(void* data, uint32_t id, uint32_t permissions, const char* type,
                       uint32_t version, const spa_dict* props);
  static void OnGlobalRemove(void* data, uint32_t id);
  static void OnDone(void* data, uint32_t id, int seq);
  static int OnProperty(void* data, uint32_t subject, const char* key, const char* type,
                        const char* value);

  pw_core* core_;
  Listener* listener_;
  pw_registry* registry_ = nullptr;
  pw_registry_events registryEvents_{};
  spa_hook registryListener_{};
  pw_core_events coreEvents_{};
  spa_hook coreListener_{};
  int startSeq_ = -1;
  bool known_ = false;
  pw_metadata* metadata_ = nullptr;
  pw_metadata_events metadataEvents_{};
  spa_hook metadataListener_{};
  std::map<uint32_t, Device> devices_;
};
