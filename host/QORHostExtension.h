#pragma once

#include <string>

// A part of qorapo built as a module of its own (qorapo-pipewire, qorapo-plot) beside the
// executable, loaded by the command that needs it, so that every other command starts without
// loading PipeWire's or cairo's libraries.
class QORHostExtension {
 public:
  // Whether this build makes the module `name` (the Windows build makes none of them); if not,
  // false with a message that `what` needs `needs`, which this build lacks.
  static bool Available(const std::string& name, const std::string& what, const std::string& needs,
                        std::string* error);
  // The export `symbol` of the module `name` (without its suffix) in qorapo's folder, which stays
  // loaded for the rest of the process; null with the reason.
  static void* Find(const std::string& name, const char* symbol, std::string* error);
};
