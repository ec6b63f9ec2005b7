#pragma once

#include <string>

#include "QORHostPanelOptions.h"

namespace CLI {
class App;
}

// `qorapo panel`: the control panel as a local web page, on the same reads and writes the
// command-line tools make. The server is a module of its own (qorapo-panel).
class QORHostPanelCommand {
 public:
  CLI::App* Register(CLI::App& app);
  int Run();

  // "HOST:PORT", "[V6]:PORT" or "PORT" into options; false with the reason.
  static bool ParseListen(const std::string& text, QORHostPanelOptions* options,
                          std::string* error);

 private:
  std::string listen_ = "127.0.0.1:0";
};
