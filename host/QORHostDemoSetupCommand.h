#pragma once

#include <string>

namespace CLI {
class App;
}

// `qorapo demo-setup ROOT`: the demonstration endpoint in a private state root, so that the main
// job runs on a fresh machine without touching the user's own settings.
class QORHostDemoSetupCommand {
 public:
  CLI::App* Register(CLI::App& app);
  int Run();

 private:
  std::string root_;
  std::string configuration_;
  std::string tech_;
};
