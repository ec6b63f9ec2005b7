#pragma once

#include <string>
#include <vector>

#include <nlohmann/json.hpp>

namespace CLI {
class App;
}
class QORHostControlCatalog;
class QORHostControlPanel;
class QORAPOOperatingMode;

// `qorapo control list|get|set|reset`: the public controls of a mode and the endpoint's global
// switches, through the public and global settings a running host watches. Values are checked
// against the technology library's descriptions before anything is written.
class QORHostControlCommand {
 public:
  CLI::App* Register(CLI::App& app);
  int Run();

 private:
  // Opens the endpoint, its mode and the descriptions; false after reporting the error.
  bool Open(QORHostControlPanel* panel, std::shared_ptr<QORAPOOperatingMode>* mode,
            QORHostControlCatalog* catalog);
  // Every control of the mode with its value, default and description.
  bool Collect(QORHostControlPanel& panel, QORAPOOperatingMode& mode,
               const QORHostControlCatalog& catalog, nlohmann::json* out);
  int List(QORAPOOperatingMode& mode, const nlohmann::json& controls);
  int Get(QORAPOOperatingMode& mode, const nlohmann::json& controls);
  int Set(QORHostControlPanel& panel, QORAPOOperatingMode& mode,
          const QORHostControlCatalog& catalog, const nlohmann::json& controls);
  int Reset(QORHostControlPanel& panel, QORAPOOperatingMode& mode, const nlohmann::json& controls);

  CLI::App* list_ = nullptr;
  CLI::App* get_ = nullptr;
  CLI::App* set_ = nullptr;
  CLI::App* reset_ = nullptr;
  bool json_ = false;
  std::string endpoint_;
  std::string mode_;
  std::string name_;
  std::string value_;
  std::vector<std::string> names_;
};
