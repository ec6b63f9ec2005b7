// The README's command blocks that use the demonstration's state root run as written.
#include <spawn.h>

#include <fstream>
#include <regex>

#include "QORHostRunner.h"

namespace {

// The README's indented blocks (four spaces), each as its lines without the indent.
std::vector<std::string> IndentedBlocks(const std::string& text) {
  std::vector<std::string> blocks;
  std::istringstream lines(text);
  std::string block;
  for (std::string line; std::getline(lines, line);) {
    if (line.rfind("    ", 0) == 0) {
      block += line.substr(4) + "\n";
    } else if (!line.empty() || block.empty()) {
      if (!block.empty()) blocks.push_back(block);
      block.clear();
    }
  }
  if (!block.empty()) blocks.push_back(block);
  return blocks;
}

class ReadmeTest : public qortest::HostToolTest {
 protected:
  // Runs script with bash in the test's folder, in a process group of its own that is killed
  // afterwards whatever happened, so nothing it started in the background outlives the test.
  int RunScript(const std::string& script) {
    std::ofstream(File("block.sh")) << script;
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP);
    posix_spawnattr_setpgroup(&attributes, 0);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addchdir_np(&actions, files_.c_str());
    posix_spawn_file_actions_addopen(&actions, 1, OutOf("block").c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
    std::string bash = "/bin/bash";
    std::string file = File("block.sh");
    char* argv[] = {bash.data(), file.data(), nullptr};
    pid_t pid = 0;
    const bool started = posix_spawn(&pid, argv[0], &actions, &attributes, argv, environ) == 0;
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    if (!started) return -1;
    int status = -1;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::minutes(3);
    while (waitpid(pid, &status, WNOHANG) == 0) {
      if (std::chrono::steady_clock::now() > deadline) {
        kill(-pid, SIGKILL);
        waitpid(pid, &status, 0);
        status = -1;
        break;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    kill(-pid, SIGKILL);
    return status != -1 && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }
};

TEST_F(ReadmeTest, EveryBlockOnTheDemonstrationRootRunsAsWritten) {
  const std::string readme = qortest::SlurpFile(std::string(QOR_SOURCE_DIR) + "/README.md");
  const std::string binary = QOR_HOST_BINARY;
  int run = 0;
  for (std::string block : IndentedBlocks(readme)) {
    if (block.find("QOR_ROOT=build/demo/state") == std::string::npos) continue;
    ++run;
    block = std::regex_replace(block, std::regex("build/run/qorapo"), binary);
    block = std::regex_replace(block, std::regex("build/demo/state"), root_.Path() + "/state");
    // Every command must succeed; what the block leaves running is ended with it.
    const int code = RunScript("set -e\ntrap 'kill $(jobs -p) 2>/dev/null || true' EXIT\n" + block);
    EXPECT_EQ(code, 0) << block << "\n" << qortest::SlurpFile(OutOf("block"));
    if (block.find(" music.png") != std::string::npos) {
      EXPECT_TRUE(std::filesystem::exists(File("music.png"))) << block;
    }
  }
  EXPECT_GE(run, 1);
}

}  // namespace
