#pragma once

#include <sys/types.h>

#include <chrono>
#include <string>
#include <vector>

// Another program run beside qorapo: one of qorapo's own commands, run for the control panel so
// that every read and write it makes is the command line's own, or the panel beside the daemon.
// Arguments go to the program as they are, never through a shell.
class QORHostChildProcess {
 public:
  struct Result {
    int code = -1;  // the exit code; -1 when it did not exit by itself
    std::string out;
    std::string err;
    bool timedOut = false;  // killed when the time ran out
    bool cutShort = false;  // it wrote more than the limit; the rest was dropped
  };

  QORHostChildProcess() = default;
  QORHostChildProcess(const QORHostChildProcess&) = delete;
  QORHostChildProcess& operator=(const QORHostChildProcess&) = delete;
  ~QORHostChildProcess();

  // Runs program to its end with both outputs captured (each up to limit bytes), killing it when
  // it takes longer than timeout. Standard input is empty. False with the reason when it cannot
  // be started.
  static bool Run(const std::string& program, const std::vector<std::string>& arguments,
                  size_t limit, std::chrono::milliseconds timeout, Result* result,
                  std::string* error);

  // Starts program with this process's standard error as both its outputs, so that what it
  // prints never mixes into ours; it runs until Stop or this object ends.
  bool Start(const std::string& program, const std::vector<std::string>& arguments,
             std::string* error);
  // Asks it to end (SIGTERM), then waits; its exit code, or -1.
  int Stop();
  pid_t Pid() const { return pid_; }

 private:
  static bool Spawn(const std::string& program, const std::vector<std::string>& arguments,
                    const int* outputs, pid_t* pid, std::string* error);
  static int Reap(pid_t pid);

  pid_t pid_ = -1;
};
