#pragma once

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "QORHostDeviceFollower.h"
#include "QORHostDeviceRules.h"

namespace CLI {
class App;
}
class QORHostPipeWireSink;

// `qorapo serve`: the daemon that gives endpoints their effects in PipeWire. Each active render
// endpoint of the state root becomes a virtual sink that runs its objects and plays into a
// device; each active capture endpoint a virtual source that runs its objects on a device's
// capture. One daemon per state root; SIGINT and SIGTERM stop it cleanly. Following devices, it
// keeps an endpoint for each of PipeWire's real sinks and sources as they come and go.
class QORHostServeCommand : public QORHostDeviceFollower::Listener {
 public:
  QORHostServeCommand();
  ~QORHostServeCommand() override;
  CLI::App* Register(CLI::App& app);
  int Run();

  // A node name PipeWire tools take without quoting: "qorapo_" and the name, lower case, with
  // every run of other characters as one underscore.
  static std::string NodeName(const std::string& endpointName);
  // Under the state root: the lock a running daemon holds, and what it says of itself.
  static std::filesystem::path LockPath();
  static std::filesystem::path StatusPath();

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

  std::string target_;
  std::string source_;
  bool json_ = false;
  bool follow_ = false;
  bool devicesKnown_ = false;  // the devices present at the start have been seen
  std::string rulesPath_;
  QORHostDeviceRules rules_;
  std::unique_ptr<QORHostDeviceFollower> follower_;
  int lockFd_ = -1;
  struct pw_core* core_ = nullptr;
  struct pw_loop* loop_ = nullptr;
  nlohmann::json lastEvent_;
  std::vector<std::unique_ptr<QORHostPipeWireSink>> sinks_;
};
