#pragma once

#include <memory>
#include <string>

namespace CLI {
class App;
}

// `qorapo import FILE`: an equaliser file (parametric text, AutoEQ's files, Room EQ Wizard's
// export) into a mode's parametric equaliser and, for a graphic curve, its convolution, as a
// control panel writes public controls or, with --tuned, as a tuning tool writes the tuned block;
// a running host crossfades to it. All or nothing: a file it cannot represent is refused with
// its line and nothing is written.
class QORHostImportCommand {
 public:
  CLI::App* Register(CLI::App& app);
  int Run();

 private:
  std::string file_;
  std::string endpoint_;
  std::string mode_;
  bool tuned_ = false;
  bool dryRun_ = false;
  bool json_ = false;
  int rate_ = 48000;
  int channels_ = 2;
};
