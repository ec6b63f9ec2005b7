#pragma once
// A private PipeWire for one test: its own session bus, pipewire and WirePlumber under a runtime
// directory of its own, so nothing of the user's audio setup is read, written or disturbed.
#include <sys/types.h>

#include <chrono>
#include <csignal>
#include <filesystem>
#include <functional>
#include <map>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

namespace qortest {

struct PipeWireOptions {
  // clock.allowed-rates; the first is the graph's rate when nothing asks for another.
  std::vector<int> rates{48000};
  // The graph's quantum, also its largest: clients asking for more get this.
  int quantum = 1024;
  // Files for pipewire.conf.d (name, text), as a user's ~/.config/pipewire/pipewire.conf.d holds.
  std::vector<std::pair<std::string, std::string>> fragments;
  // Added to the environment of pipewire itself (LV2_PATH, QOR_ROOT, ...).
  std::map<std::string, std::string> environment;
};

struct CommandResult {
  int code = -1;  // 128 + signal when a signal ended it, -1 when it could not run or hung
  std::string out;
  std::string err;
};

class PipeWireSession {
 public:
  // The null device every stream ends in; its monitor is what tests record.
  static constexpr char kDevice[] = "qor_null";

  // dir: a folder of the caller's own that the session fills (runtime, configuration, logs).
  PipeWireSession(std::filesystem::path dir, PipeWireOptions options);
  // Stops every process the session started, the last started first.
  ~PipeWireSession();
  PipeWireSession(const PipeWireSession&) = delete;
  PipeWireSession& operator=(const PipeWireSession&) = delete;

  // Starts the bus, pipewire and WirePlumber and waits until the null device is there; false with
  // the reason in *why otherwise.
  bool Start(std::string* why);

  // Polls pw-dump until ready(objects) holds; false after the bound.
  bool WaitUntil(const std::function<bool(const nlohmann::json&)>& ready,
                 std::chrono::seconds bound = std::chrono::seconds(60));
  // Until the node exists and every output port of from is linked to to.
  bool WaitForLinked(const std::string& from, const std::string& to,
                     std::chrono::seconds bound = std::chrono::seconds(60));
  nlohmann::json Dump();
  static std::optional<int> NodeId(const nlohmann::json& objects, const std::string& name);

  // A client tool (pw-cli, wpctl, ...) in the session's environment, waited for (60 s at most).
  CommandResult Run(const std::vector<std::string>& args);
  // A client started in the background, its output in logs/<tag>.out and .err; 0 on failure.
  pid_t Spawn(const std::vector<std::string>& args, const std::string& tag);
  // Ends a process of the session with signal, after grace with SIGKILL; its exit code as in
  // CommandResult.
  int Stop(pid_t pid, int signal = SIGTERM,
           std::chrono::milliseconds grace = std::chrono::seconds(5));
  // Waits up to bound for a process of the session to end by itself; its exit code, or nothing.
  std::optional<int> WaitFor(pid_t pid, std::chrono::seconds bound);
  // True while the process runs (it has not ended, or ended without being reaped yet).
  bool Alive(pid_t pid);

  // A folder in memory (tmpfs where there is one) for the files clients read and write in their
  // real-time threads: on a disk, a write can wait for the journal long enough to lose periods.
  // Removed with the session.
  const std::filesystem::path& Scratch() const { return scratch_; }
  pid_t PipeWirePid() const { return pipewire_; }
  std::string Log(const std::string& tag) const;
  const std::filesystem::path& Dir() const { return dir_; }

 private:
  std::string Configuration() const;
  std::vector<std::string> Environment(const std::map<std::string, std::string>& extra) const;
  pid_t Launch(const std::vector<std::string>& args, const std::vector<std::string>& environment,
               const std::string& tag);

  std::filesystem::path dir_;
  std::filesystem::path scratch_;
  PipeWireOptions options_;
  std::vector<std::string> clientEnvironment_;
  pid_t bus_ = 0;
  pid_t pipewire_ = 0;
  pid_t wireplumber_ = 0;
  std::vector<pid_t> running_;  // in start order
  std::map<pid_t, int> ended_;  // reaped, with the status
};

}  // namespace qortest
