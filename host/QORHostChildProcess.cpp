#include "QORHostChildProcess.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

extern char** environ;

namespace {

void CloseBoth(int* pipe) {
  for (int i = 0; i < 2; ++i) {
    if (pipe[i] >= 0) close(pipe[i]);
    pipe[i] = -1;
  }
}

}  // namespace

QORHostChildProcess::~QORHostChildProcess() {
  Stop();
}

bool QORHostChildProcess::Spawn(const std::string& program,
                                const std::vector<std::string>& arguments, const int* outputs,
                                pid_t* pid, std::string* error) {
  std::vector<char*> argv;
  argv.push_back(const_cast<char*>(program.c_str()));
  for (const std::string& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
  argv.push_back(nullptr);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_adddup2(&actions, outputs[0], STDOUT_FILENO);
  if (outputs[1] != STDERR_FILENO) {
    posix_spawn_file_actions_adddup2(&actions, outputs[1], STDERR_FILENO);
  }
  // The caller may block signals for a thread of its own that waits for them; the child starts
  // with none blocked and every handler at its default.
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  sigset_t none;
  sigset_t all;
  sigemptyset(&none);
  sigfillset(&all);
  posix_spawnattr_setsigmask(&attributes, &none);
  posix_spawnattr_setsigdefault(&attributes, &all);
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
  const int failed = posix_spawn(pid, program.c_str(), &actions, &attributes, argv.data(), environ);
  posix_spawnattr_destroy(&attributes);
  posix_spawn_file_actions_destroy(&actions);
  if (failed != 0) {
    std::string text = "cannot start '";
    text.append(program).append("': ").append(std::strerror(failed));
    *error = text;
    return false;
  }
  return true;
}

int QORHostChildProcess::Reap(pid_t pid) {
  int status = 0;
  while (waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) return -1;
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

bool QORHostChildProcess::Run(const std::string& program, const std::vector<std::string>& arguments,
                              size_t limit, std::chrono::milliseconds timeout, Result* result,
                              std::string* error) {
  *result = Result{};
  int out[2] = {-1, -1};
  int err[2] = {-1, -1};
  if (pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0) {
    std::string text = "cannot make a pipe: ";
    text.append(std::strerror(errno));
    *error = text;
    CloseBoth(out);
    CloseBoth(err);
    return false;
  }
  const int writeEnds[2] = {out[1], err[1]};
  pid_t pid = -1;
  const bool started = Spawn(program, arguments, writeEnds, &pid, error);
  close(out[1]);
  close(err[1]);
  if (!started) {
    close(out[0]);
    close(err[0]);
    return false;
  }

  pollfd reads[2] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}};
  std::string* into[2] = {&result->out, &result->err};
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  int open = 2;
  while (open > 0) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) {
      result->timedOut = true;
      kill(pid, SIGKILL);
      break;
    }
    const int ready = poll(reads, 2, static_cast<int>(left.count()));
    if (ready < 0 && errno == EINTR) continue;
    if (ready < 0) break;
    for (int i = 0; i < 2; ++i) {
      if (reads[i].fd < 0 || reads[i].revents == 0) continue;
      char buffer[65536];
      const ssize_t got = read(reads[i].fd, buffer, sizeof(buffer));
      if (got < 0 && errno == EINTR) continue;
      if (got <= 0) {
        close(reads[i].fd);
        reads[i].fd = -1;
        --open;
        continue;
      }
      const size_t room = limit - std::min(limit, into[i]->size());
      into[i]->append(buffer, std::min(room, static_cast<size_t>(got)));
      if (static_cast<size_t>(got) > room) result->cutShort = true;
    }
  }
  for (const pollfd& read : reads) {
    if (read.fd >= 0) close(read.fd);
  }
  result->code = Reap(pid);
  if (result->timedOut) result->code = -1;
  return true;
}

bool QORHostChildProcess::Start(const std::string& program,
                                const std::vector<std::string>& arguments, std::string* error) {
  Stop();
  const int outputs[2] = {STDERR_FILENO, STDERR_FILENO};
  return Spawn(program, arguments, outputs, &pid_, error);
}

int QORHostChildProcess::Stop() {
  if (pid_ < 0) return -1;
  kill(pid_, SIGTERM);
  const int code = Reap(pid_);
  pid_ = -1;
  return code;
}
