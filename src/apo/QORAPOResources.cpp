#include "apo/QORAPOResources.h"

// The table is generated from the script files at configure time (cmake/QorResources.cmake).
extern const QORAPOResources::Script kQORAPORegistryScripts[];
extern const int kQORAPORegistryScriptCount;

std::span<const QORAPOResources::Script> QORAPOResources::RegistryScripts() {
  return {kQORAPORegistryScripts, static_cast<size_t>(kQORAPORegistryScriptCount)};
}

std::string_view QORAPOResources::FindRegistryScript(int id) {
  for (const Script& script : RegistryScripts()) {
    if (script.id == id) return script.text;
  }
  return {};
}
