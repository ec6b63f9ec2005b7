#pragma once

#include <csignal>
#include <string>
#include <vector>

#include "TestSignals.h"

namespace qortest {

// A test binary can run as a child process of itself: "--qor-child NAME ARGS..." runs the entry
// registered under NAME instead of the tests. Cross-process behaviour is tested this way, with
// real processes. The child talks to the parent in lines: its stdout to the parent, the parent's
// lines to its stdin.
using ChildEntry = int (*)(const std::vector<std::string>& args);

class ChildRegistration {
 public:
  ChildRegistration(const char* name, ChildEntry entry);
};

// Runs a registered child entry for the test main: its exit code, 127 for an unknown name.
int RunChildEntry(const std::string& name, const std::vector<std::string>& args);

// Inside a child: tell the parent a line, or hear its next one (false at end of input).
void ChildSay(const std::string& line);
bool ChildHear(std::string& line);

class ChildProcess {
 public:
  ChildProcess() = default;
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;
  // Kills (SIGKILL) and reaps a child that is still running.
  ~ChildProcess();

  // Starts this test binary as child NAME; false when it could not be started.
  bool Start(const std::string& name, const std::vector<std::string>& args = {});
  int Pid() const { return pid_; }
  // Waits up to timeoutMs for the child's next line; false on time-out or end of its output.
  bool ReadLine(std::string& line, int timeoutMs = 10000);
  // Waits for a line equal to expected, skipping others.
  bool WaitFor(const std::string& expected, int timeoutMs = 10000);
  bool SendLine(const std::string& line);
  bool Kill(int signal);
  // Waits for the end; returns the exit code, or 128 + signal when a signal ended it, -1 on error.
  int Wait();

 private:
  void CloseFds();
  // Adds to pending_ what the child writes within timeoutMs; false at the end of its output.
  bool ReadSome(int timeoutMs);

  int pid_ = -1;
#ifdef _WIN32
  // The process and the two pipe ends, as Win32 handles.
  void* process_ = nullptr;
  void* toChild_ = nullptr;
  void* fromChild_ = nullptr;
#else
  int toChild_ = -1;
  int fromChild_ = -1;
#endif
  std::string pending_;
};

}  // namespace qortest
