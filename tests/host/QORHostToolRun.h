#pragma once

// Running the built qorapo from the tools' tests: each test gets a fresh state root with the
// demonstration endpoint, runs commands to completion or in the background, and reads --json.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/wait.h>

#include <chrono>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "TempStateRoot.h"

extern char** environ;

namespace qortest {

struct ToolResult {
  int code = -1;
  std::string out;
  std::string err;

  // The standard output as JSON; a parse failure fails the test and gives null.
  nlohmann::json Json() const {
    try {
      return nlohmann::json::parse(out);
    } catch (const nlohmann::json::exception& error) {
      ADD_FAILURE() << "not JSON (" << error.what() << "): " << out;
      return nullptr;
    }
  }
};

class ToolTest : public ::testing::Test {
 protected:
  void SetUp() override {
    state_ = root_.Path() + "/state";
    const ToolResult setup = Run({"demo-setup", state_});
    ASSERT_EQ(setup.code, 0) << setup.err;
    setenv("QOR_ROOT", state_.c_str(), 1);
  }

  void TearDown() override {
    for (const pid_t pid : background_) Stop(pid);
  }

  // Starts qorapo with its output going to the files named after tag; 0 when it cannot start.
  pid_t Start(const std::vector<std::string>& args, const std::string& tag) {
    std::vector<std::string> all{QOR_HOST_BINARY};
    all.insert(all.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& arg : all) argv.push_back(arg.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, Path(tag + ".out").c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawn_file_actions_addopen(&actions, 2, Path(tag + ".err").c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0600);
    pid_t pid = 0;
    if (posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ) != 0) pid = 0;
    posix_spawn_file_actions_destroy(&actions);
    return pid;
  }

  ToolResult Wait(pid_t pid, const std::string& tag) {
    ToolResult result;
    int status = 0;
    if (pid != 0 && waitpid(pid, &status, 0) == pid) {
      result.code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }
    result.out = Slurp(Path(tag + ".out"));
    result.err = Slurp(Path(tag + ".err"));
    return result;
  }

  ToolResult Run(const std::vector<std::string>& args) { return Wait(Start(args, "run"), "run"); }

  // Starts a long-running qorapo and waits (bounded) until it has printed a whole line.
  pid_t StartBackground(const std::vector<std::string>& args, const std::string& tag) {
    const pid_t pid = Start(args, tag);
    if (pid == 0) return 0;
    background_.push_back(pid);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (Slurp(Path(tag + ".out")).find('\n') == std::string::npos) {
      int status = 0;
      if (std::chrono::steady_clock::now() > deadline || waitpid(pid, &status, WNOHANG) == pid) {
        return 0;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return pid;
  }

  // Ends a background qorapo with SIGTERM; its exit code.
  int Stop(pid_t pid) {
    std::erase(background_, pid);
    if (pid == 0 || kill(pid, SIGTERM) != 0) return -1;
    int status = 0;
    if (waitpid(pid, &status, 0) != pid) return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  }

  std::string Path(const std::string& name) const { return root_.Path() + "/" + name; }

  static std::string Slurp(const std::string& path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
  }

  static std::string Example() {
    return std::string(QOR_SOURCE_DIR) + "/examples/qorapo-laptop.xml";
  }

  TempStateRoot root_;
  std::string state_;
  std::vector<pid_t> background_;
};

}  // namespace qortest
