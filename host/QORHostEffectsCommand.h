#pragma once

#include <string>

#include "platform/QORGuid.h"

namespace CLI {
class App;
}

// `qorapo effects`: the effects list each graph position's APO object reports to the engine, by
// effect name, asked the way the engine asks it.
class QORHostEffectsCommand {
 public:
  CLI::App* Register(CLI::App& app);
  int Run();

  // "equaliser", "bass boost", ...; empty for an effect type this host does not know.
  static const char* EffectName(const GUID& effect);

 private:
  bool json_ = false;
  std::string endpoint_;
  std::string positions_;
  std::string module_;
};
