#pragma once

#include <string>

#include "platform/QORGuid.h"

namespace CLI {
class App;
}

// `qorapo register` and `qorapo unregister`: load the APO module and call its DllRegisterServer or
// DllUnregisterServer, as an installer does, in the current state root.
class QORHostRegisterCommand {
 public:
  explicit QORHostRegisterCommand(bool unregister) : unregister_(unregister) {}

  CLI::App* Register(CLI::App& app);
  int Run();

  // qlvapo64.so beside qorapo.
  static std::wstring DefaultModule();

 private:
  bool unregister_;
  bool json_ = false;
  std::string module_;
};
