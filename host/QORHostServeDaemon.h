#pragma once

#include <memory>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "QORHostDeviceFollower.h"
#include "QORHostDeviceRules.h"
#include "QORHostServeOptions.h"

class QORHostPipeWireSink;
struct pw_core;
struct pw_loop;

// The PipeWire daemon of `qorapo serve`. Each active render endpoint of the state root becomes a
// virtual sink that runs its objects and plays into a device; each active capture endpoint a
// virtual source that runs its objects on a device's capture. One daemon per state root; SIGINT
// and SIGTERM stop it cleanly. Following devices, it keeps an endpoint for each of PipeWire's real
// sinks and sources as they come and go.
class QORHostServeDaemon : public QORHostDeviceFollower::Listener {
 public:
  explicit QORHostServeDaemon(const QORHostServeOptions& options);
  QORHostServeDaemon(const QORHostServeDaemon&) = delete;
  QORHostServeDaemon& operator=(const QORHostServeDaemon&) = delete;
  ~QORHostServeDaemon() override;
  // Until SIGINT or SIGTERM; the process's exit code.
  int Run();

 private:
  void OnDeviceAdded(const QORHostDeviceFollower::Device& device) override;
  void OnDeviceRemoved(const QORHostDeviceFollower::Device& device) override;
  void OnDevicesKnown(const std::vector<QORHostDeviceFollower::Device>& present) override;
  void OnDefaultChanged(EDataFlow flow, const std::string& node) override;
  // Holds the state root's daemon lock for the life of the process; false (with the message
  // said) when another daemon holds it.
  bool Lock();
  // Brings the nodes in line with the store's active render and capture endpoints: new ones
  // start, those no longer there stop, the others run on. False when no node runs.
  bool Reconcile();
  static void OnHangUp(void* data, int signal);
  void Event(const std::string& kind, const std::string& endpoint, const std::string& node,
             const std::string& detail);
  // Replaces the status file (whole, by rename) with the sinks and the last event.
  void WriteStatus();

  QORHostServeOptions options_;
  bool devicesKnown_ = false;  // the devices present at the start have been seen
  QORHostDeviceRules rules_;
  std::unique_ptr<QORHostDeviceFollower> follower_;
  int lockFd_ = -1;
  pw_core* core_ = nullptr;
  pw_loop* loop_ = nullptr;
  nlohmann::json lastEvent_;
  std::vector<std::unique_ptr<QORHostPipeWireSink>> sinks_;
};

// The module's one export: runs the daemon with these options.
extern "C" int QORHostServeDaemonRun(const QORHostServeOptions* options);
