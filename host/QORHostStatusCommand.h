#pragma once

#include <nlohmann/json.hpp>

namespace CLI {
class App;
}

// `qorapo status`: whether a `qorapo serve` runs for the state root, and what it said of itself:
// its nodes with their latency and rate, and its last event.
class QORHostStatusCommand {
 public:
  CLI::App* Register(CLI::App& app);
  int Run();

  // What `--json` prints: running, the state root, and what the daemon said of itself.
  static nlohmann::json StatusJson();

 private:
  bool json_ = false;
};
