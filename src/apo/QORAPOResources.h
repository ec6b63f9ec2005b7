#pragma once

#include <span>
#include <string_view>

// Text resources compiled into the module: the registrar scripts of src/apo/scripts/<id>.rgs.
class QORAPOResources {
 public:
  struct Script {
    int id;
    std::string_view text;
  };

  // The script with this id; empty when the module has none.
  static std::string_view FindRegistryScript(int id);
  static std::span<const Script> RegistryScripts();
};
