#pragma once

#include <string>

#include <nlohmann/json.hpp>

namespace CLI {
class App;
}
class QORHostControlPanel;

// `qorapo mode list|get|set`: the operating modes of an endpoint's configuration and the current
// mode, through the mode selector whose stored value a running host follows.
class QORHostModeCommand {
 public:
  CLI::App* Register(CLI::App& app);
  int Run();

  // What `get --json` prints: the current mode, whether one is stored and in the configuration.
  static nlohmann::json CurrentJson(QORHostControlPanel& panel);

 private:
  int List();
  int Get();
  int Set();

  CLI::App* list_ = nullptr;
  CLI::App* get_ = nullptr;
  CLI::App* set_ = nullptr;
  bool json_ = false;
  std::string endpoint_;
  std::string mode_;
  std::string speaker_;
};
