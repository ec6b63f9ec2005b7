#pragma once

#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "platform/QOREndpointStore.h"

namespace CLI {
class App;
}

// `qorapo endpoint list|show|add|remove|enable|disable|default`: the endpoint store, as the
// platform's sound settings and a device's installer change it.
class QORHostEndpointCommand {
 public:
  CLI::App* Register(CLI::App& app);
  int Run();

  // What `show` prints about one endpoint, also the answer of `add`.
  static nlohmann::json Describe(const QOREndpointRecord& record);
  // Every endpoint in the store, as `list --json` prints them.
  static nlohmann::json ListJson();

 private:
  int List();
  int Show();
  int Add();
  int ChangeState(bool enable);
  int Remove();
  int Default();
  // The endpoint named by endpoint_; false after reporting the error.
  bool Choose(QOREndpointRecord* out);

  CLI::App* list_ = nullptr;
  CLI::App* show_ = nullptr;
  CLI::App* add_ = nullptr;
  CLI::App* remove_ = nullptr;
  CLI::App* enable_ = nullptr;
  CLI::App* disable_ = nullptr;
  CLI::App* default_ = nullptr;
  bool json_ = false;
  std::string endpoint_;
  std::string name_;
  std::string direction_ = "render";
  std::string configuration_;
  std::vector<std::string> effects_;
  std::string guid_;
  std::string device_;
  std::string rules_;
  bool disabled_ = false;
  bool makeDefault_ = false;
  bool capture_ = false;
};
