#pragma once

#include <string>

namespace CLI {
class App;
}

// `qorapo mode list|get|set`: the operating modes of an endpoint's configuration and the current
// mode, through the mode selector whose stored value a running host follows.
class QORHostModeCommand {
 public:
  CLI::App* Register(CLI::App& app);
  int Run();

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
