#pragma once

#include <filesystem>
#include <string>

#include "QORHostServeOptions.h"

namespace CLI {
class App;
}

// `qorapo serve`: the daemon that gives endpoints their effects in PipeWire (QORHostServeDaemon,
// in the qorapo-pipewire module, which this loads: no other command pays for PipeWire's
// libraries).
class QORHostServeCommand {
 public:
  CLI::App* Register(CLI::App& app);
  int Run();

  // A node name PipeWire tools take without quoting: "qorapo_" and the name, lower case, with
  // every run of other characters as one underscore.
  static std::string NodeName(const std::string& endpointName);
  // Under the state root: the lock a running daemon holds, and what it says of itself.
  static std::filesystem::path LockPath();
  static std::filesystem::path StatusPath();

 private:
  QORHostServeOptions options_;
};
