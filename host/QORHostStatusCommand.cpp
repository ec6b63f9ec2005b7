#include "QORHostStatusCommand.h"

#include <CLI/CLI.hpp>
#include <cstdio>
#include <fstream>

#include "QORHostOutput.h"
#include "QORHostServeCommand.h"
#include "platform/QORFileLock.h"
#include "platform/QORSystemInfo.h"

namespace {

// True while some process holds the daemon's lock on the state root.
bool DaemonRuns() {
  // The file outlives the daemon; its lock does not. A link there is none of the daemon's.
  const std::filesystem::path path = QORHostServeCommand::LockPath();
  std::error_code failed;
  if (!std::filesystem::is_regular_file(std::filesystem::symlink_status(path, failed)))
    return false;
  QORFileLock probe;
  return !probe.Lock(path, QORFileLock::Kind::kShared, false);
}

}  // namespace

CLI::App* QORHostStatusCommand::Register(CLI::App& app) {
  CLI::App* command =
      app.add_subcommand("status", "Whether qorapo serve runs for the state root, and its nodes");
  QORHostOutput::AddJson(command, &json_);
  QORHostOutput::Example(command, "qorapo status --json");
  return command;
}

nlohmann::json QORHostStatusCommand::StatusJson() {
  const std::string root = QORSystemInfo::GetStateRoot().string();
  nlohmann::json status = {{"running", false}, {"state_root", root}};
  if (DaemonRuns()) {
    std::ifstream in(QORHostServeCommand::StatusPath());
    // A daemon still starting has written nothing yet.
    const nlohmann::json said = nlohmann::json::parse(in, nullptr, false);
    status["running"] = true;
    if (said.is_object()) status.update(said);
  }
  return status;
}

int QORHostStatusCommand::Run() {
  const std::string root = QORSystemInfo::GetStateRoot().string();
  const nlohmann::json status = StatusJson();
  if (json_) {
    QORHostOutput::Print(status);
    return QORHostOutput::kOk;
  }
  if (!status["running"].get<bool>()) {
    std::printf("no qorapo serve runs for the state root %s\n", root.c_str());
    return QORHostOutput::kOk;
  }
  std::printf("qorapo serve runs for the state root %s", root.c_str());
  if (status.contains("pid")) std::printf(" (process %d)", status["pid"].get<int>());
  std::printf("\n");
  for (const nlohmann::json& node : status.value("nodes", nlohmann::json::array())) {
    std::printf("  %-32s %-24s %6lld frames %6d Hz\n", node.value("node", "").c_str(),
                node.value("endpoint", "").c_str(),
                static_cast<long long>(node.value("latency_frames", 0LL)), node.value("rate", 0));
  }
  const nlohmann::json event = status.value("last_event", nlohmann::json());
  if (event.is_object()) {
    std::printf("last event: %s %s: %s\n", event.value("event", "").c_str(),
                event.value("endpoint", "").c_str(), event.value("detail", "").c_str());
  }
  return QORHostOutput::kOk;
}
