#include "ChildProcess.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <iostream>
#include <map>

extern char** environ;

namespace qortest {
namespace {

std::map<std::string, ChildEntry>& Registry() {
  static std::map<std::string, ChildEntry> registry;
  return registry;
}

}  // namespace

ChildRegistration::ChildRegistration(const char* name, ChildEntry entry) {
  Registry()[name] = entry;
}

int RunChildEntry(const std::string& name, const std::vector<std::string>& args) {
  auto it = Registry().find(name);
  if (it == Registry().end()) {
    std::fprintf(stderr, "unknown child entry %s\n", name.c_str());
    return 127;
  }
  return it->second(args);
}

void ChildSay(const std::string& line) {
  std::cout << line << std::endl;
}

bool ChildHear(std::string& line) {
  return static_cast<bool>(std::getline(std::cin, line));
}

ChildProcess::~ChildProcess() {
  if (pid_ > 0) {
    Kill(SIGKILL);
    Wait();
  }
  CloseFds();
}

void ChildProcess::CloseFds() {
  if (toChild_ >= 0) ::close(toChild_);
  if (fromChild_ >= 0) ::close(fromChild_);
  toChild_ = fromChild_ = -1;
}

bool ChildProcess::Start(const std::string& name, const std::vector<std::string>& args) {
  int in[2];
  int out[2];
  if (::pipe2(in, O_CLOEXEC) != 0) return false;
  if (::pipe2(out, O_CLOEXEC) != 0) {
    ::close(in[0]);
    ::close(in[1]);
    return false;
  }
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, in[0], STDIN_FILENO);
  posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);

  std::vector<std::string> words = {"/proc/self/exe", "--qor-child", name};
  words.insert(words.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (auto& word : words) argv.push_back(word.data());
  argv.push_back(nullptr);

  pid_t pid = -1;
  const int error = ::posix_spawn(&pid, "/proc/self/exe", &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  ::close(in[0]);
  ::close(out[1]);
  if (error != 0) {
    ::close(in[1]);
    ::close(out[0]);
    return false;
  }
  pid_ = pid;
  toChild_ = in[1];
  fromChild_ = out[0];
  return true;
}

bool ChildProcess::ReadLine(std::string& line, int timeoutMs) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    const auto newline = pending_.find('\n');
    if (newline != std::string::npos) {
      line = pending_.substr(0, newline);
      pending_.erase(0, newline + 1);
      return true;
    }
    if (fromChild_ < 0) return false;
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return false;
    pollfd fd{fromChild_, POLLIN, 0};
    if (::poll(&fd, 1, static_cast<int>(left.count())) <= 0) continue;
    char buffer[512];
    const ssize_t n = ::read(fromChild_, buffer, sizeof(buffer));
    if (n <= 0) return false;
    pending_.append(buffer, static_cast<size_t>(n));
  }
}

bool ChildProcess::WaitFor(const std::string& expected, int timeoutMs) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  std::string line;
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0 || !ReadLine(line, static_cast<int>(left.count()))) return false;
    if (line == expected) return true;
  }
}

bool ChildProcess::SendLine(const std::string& line) {
  if (toChild_ < 0) return false;
  const std::string text = line + "\n";
  return ::write(toChild_, text.data(), text.size()) == static_cast<ssize_t>(text.size());
}

bool ChildProcess::Kill(int signal) {
  return pid_ > 0 && ::kill(pid_, signal) == 0;
}

int ChildProcess::Wait() {
  if (pid_ <= 0) return -1;
  int status = 0;
  pid_t result;
  do {
    result = ::waitpid(pid_, &status, 0);
  } while (result < 0 && errno == EINTR);
  pid_ = -1;
  if (result < 0) return -1;
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
  return -1;
}

}  // namespace qortest
