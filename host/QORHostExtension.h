#pragma once

#include <string>

// A part of qorapo built as a module of its own (qorapo-pipewire, qorapo-plot) beside the
// executable, loaded by the command that needs it, so that every other command starts without
// loading PipeWire's or cairo's libraries.
class QORHostExtension {
 public:
  // The export `symbol` of the module `name` (without its suffix) in qorapo's folder, which stays
  // loaded for the rest of the process; null with the reason.
  static void* Find(const std::string& name, const char* symbol, std::string* error);
};
