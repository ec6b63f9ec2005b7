#pragma once
// qorapo started by a test: its outputs in files, in a folder of its own, ended by the test.
#include <sys/types.h>

#include <csignal>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "TestSignals.h"

namespace qortest {

class HostProcess {
 public:
  // Starts argv[0] with argv in folder, standard output and error to the files out and err
  // (made anew); 0 when it cannot start.
  static pid_t Start(const std::vector<std::string>& argv, const std::filesystem::path& folder,
                     const std::filesystem::path& out, const std::filesystem::path& err);
  // Its exit code (128 + the signal that ended it) once it ends within timeoutMs (negative:
  // without end), reaping it; nothing while it runs.
  static std::optional<int> Wait(pid_t pid, int timeoutMs);
  // SIGINT, SIGTERM and SIGHUP ask it to end as Ctrl-C does (on Windows all three alike);
  // SIGKILL ends it at once; SIGSTOP and SIGCONT stop and resume every thread of it.
  static bool Signal(pid_t pid, int signal);
};

}  // namespace qortest
